#include "platform/host/control.h"
#include "tools/kstvreg/MachineNotice.h"

namespace kstv {

void NoteWhereTheMachineLives() { host::notePrivateMachine("kstvreg"); }

}  // namespace kstv
