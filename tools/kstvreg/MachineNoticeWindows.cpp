#include "tools/kstvreg/MachineNotice.h"

namespace kstv {

void NoteWhereTheMachineLives() {}

}  // namespace kstv
