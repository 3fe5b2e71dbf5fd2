// What the I/O manager's parts offer each other and the rest of the host kernel.
#pragma once

#include "platform/host/wdk.h"

namespace host {

// Fills an MDL's frame numbers as MmBuildMdlForNonPagedPool does, without asking where the
// memory is: for buffers the I/O manager itself locks (a caller's direct-I/O buffer).
void BuildMdlPages(PMDL mdl);

// For the PnP manager's part when a device goes away: a request sent to `target` that still
// exists (held by a lower driver, or handed back to a completion routine that kept it and
// never freed it) is a leak the driver's removal cannot undo. Bug-checks naming `event`.
void RequireNoRequestsSentTo(PDEVICE_OBJECT target, const char* event);

}  // namespace host
