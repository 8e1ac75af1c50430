#include "config/DeviceConfig.h"

void ResetConfig()
{
}
