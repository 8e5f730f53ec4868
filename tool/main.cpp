#include <ctime>

#include "tool/trisko.h"

int main(int argc, char** argv) {
    return tolmark::tool::runTrisko(argc, argv, stdout, stdin, static_cast<std::int64_t>(std::time(nullptr)));
}
