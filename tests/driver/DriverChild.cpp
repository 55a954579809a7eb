#include "driver/CHalbDriver.h"
#include "driver/COrbiDriver.h"

// Run under a Windows version of the test's choosing. Exit code: the board driver
// generation; the ORBI device is removed on the way where the version asks for it.
int main()
{
    COrbiDriver::Remove();
    return CHalbDriver::GetDriverGeneration();
}
