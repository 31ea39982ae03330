// The entry point of the loadable module that carries the Linux services
// (see app/platform_module.h). Built only into that module.
#include "platform/linux/linux_platform.h"

extern "C" __attribute__((visibility("default"))) dictate::Platform* quillmarsh_dictate_make_platform() {
  return dictate::makeLinuxPlatform().release();
}
