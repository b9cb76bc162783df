// The one header through which system code reaches Win32.
// Windows build: the SDK headers and nothing else. Host build: the subset the system
// uses, implemented by our own platform layer in platform/host/.
#pragma once

// clang-format off: the SDK headers must come in this order.
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <aclapi.h>
#include <objbase.h>
#include <oleauto.h>
#include <sddl.h>
#include <wbemidl.h>
#include <windows.h>
#include <winioctl.h>
// Spells a 16-bit text literal on both builds.
#define KSTV_W(text) L##text
#else
#include "platform/host/win32_clock.h"
#include "platform/host/win32_com.h"
#include "platform/host/win32_console.h"
#include "platform/host/win32_diagnostics.h"
#include "platform/host/win32_errors.h"
#include "platform/host/win32_files.h"
#include "platform/host/win32_kernel_handles.h"
#include "platform/host/win32_memory.h"
#include "platform/host/win32_message_box.h"
#include "platform/host/win32_module.h"
#include "platform/host/win32_named_objects.h"
#include "platform/host/win32_number_text.h"
#include "platform/host/win32_oleauto.h"
#include "platform/host/win32_registry.h"
#include "platform/host/win32_security.h"
#include "platform/host/win32_service_dispatcher.h"
#include "platform/host/win32_service_manager.h"
#include "platform/host/win32_text.h"
#include "platform/host/win32_threads.h"
#include "platform/host/win32_typelib.h"
#include "platform/host/win32_types.h"
#include "platform/host/win32_version.h"
#include "platform/host/win32_volumes.h"
#include "platform/host/win32_wmi.h"
#define KSTV_W(text) u##text
#endif
// clang-format on
