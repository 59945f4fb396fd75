// The installation actions of the wizard's "Далее".

#include "app/fGprsMain.h"

namespace sp {

bool TfrmGprsMain::RunInstallActions() {
    // The copy into "C:\Zentora\" and the shortcuts come with the
    // installation; until then "Далее" installs nothing and goes on.
    return true;
}

} // namespace sp
