#pragma once

// The "ProductVersion" string of TestService.exe; tests compare what the library reads
// from the file with it.
#define TESTSERVICE_PRODUCT_VERSION "7.31.0.415 (stand-in)"
