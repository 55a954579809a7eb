#pragma once

// The obsolete ORBI driver's root device, only ever installed on version 10 or later.
class COrbiDriver
{
  public:
    // Removes Root\PlxOrbi on version 10 or later; failures are only traced. Always 0.
    static int Remove();
};
