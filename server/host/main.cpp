#include "server/host/service_host.h"

int main(int argc, char** argv) { return tolmark::velkoraMain(argc, argv); }
