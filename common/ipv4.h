#pragma once
// Moved to the base library; this name stays for code that still includes it here.
#include "base/ipv4.h"
