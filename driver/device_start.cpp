// Start and Stop move a device between unconfigured and configured. Configuring the USB
// device, creating the filter factory and reloading the stored settings arrive with the
// transport, the filter and the settings store; until then a device starts with nothing to
// configure and stops with nothing to save.
#include "driver/device_context.h"

NTSTATUS Start(PKSDEVICE, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
    return STATUS_SUCCESS;
}

void Stop(PKSDEVICE, PIRP) {}
