// The module's application object and its entry: constructed when the module is loaded,
// started from its attach notification and ended from its detach notification.
#include "addon/NotifyAddOnApp.h"
#include "framework/app.h"

CNotifyAddOnApp theApp;
FW_MODULE_ENTRY();
