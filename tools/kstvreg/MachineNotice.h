// Where the registry kstvreg works on lives: on the host build, an emulated machine that
// without KSTV_MACHINE goes with the command, which kstvreg then says; on Windows, the
// system's own registry, of which there is nothing to say.
#pragma once

namespace kstv {

void NoteWhereTheMachineLives();

}  // namespace kstv
