#include "sim/simdriver.h"

FtdiDriver &simulatedFtdiDriver()
{
    static SimDriver driver(1);
    return driver;
}
