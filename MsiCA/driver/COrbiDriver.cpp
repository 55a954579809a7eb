#include "driver/COrbiDriver.h"

int COrbiDriver::Remove()
{
    return 0;
}
