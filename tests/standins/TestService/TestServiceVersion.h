#pragma once
// The "ProductVersion" string of TestService.exe, for the tests to compare with.
#define TESTSERVICE_PRODUCT_VERSION "7.31.0.415 (stand-in)"
