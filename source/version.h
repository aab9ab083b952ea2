#pragma once

// The version every class record of this module carries.
#define STROVIK_VERSION_STR "1.2.0"
