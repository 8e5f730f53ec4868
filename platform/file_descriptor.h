#pragma once
// Moved to the base library; this name stays for code that still includes it here.
#include "base/file_descriptor.h"
