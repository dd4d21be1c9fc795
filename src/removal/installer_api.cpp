#include "removal/installer_api.h"

InstallerApi& Installer()
{
    static InstallerApi api = {MsiQueryProductStateW, MsiSetInternalUI, MsiSetExternalUIW,
                               MsiConfigureProductExW};
    return api;
}
