// The host platform's whole kernel interface, the counterpart of the WDK headers.
#pragma once

#include "platform/host/nt_types.h"
#include "platform/host/nt_kernel.h"
#include "platform/host/nt_io.h"
#include "platform/host/nt_registry.h"
#include "platform/host/nt_thread.h"
#include "platform/host/usb.h"
#include "platform/host/ks.h"
#include "platform/host/ks_records.h"
#include "platform/host/ks_filter.h"
#include "platform/host/ks_pin.h"
