// The application object: registration as the module's application and its help-file path.
#include <gtest/gtest.h>

#include "framework/app.h"

namespace {

TEST(AppTest, RegistersItselfAndDerivesTheHelpPathFromTheModulePath) {
  EXPECT_EQ(fw::AfxGetApp(), nullptr);
  {
    fw::CWinApp app;
    EXPECT_EQ(fw::AfxGetApp(), &app);
    app.SetModuleFilePath("C:\\Programme\\Quorbit\\QBNotifyAddOn.dll");
    EXPECT_EQ(app.HelpFilePath(), "C:\\Programme\\Quorbit\\QBNotifyAddOn.HLP");
    app.SetModuleFilePath("/opt/v1.2/QBNotifyAddOn");  // a dot in a directory is no extension
    EXPECT_EQ(app.HelpFilePath(), "/opt/v1.2/QBNotifyAddOn.HLP");
    app.SetModuleFilePath("/opt/archive.tar.gz");
    EXPECT_EQ(app.HelpFilePath(), "/opt/archive.tar.HLP");
    app.SetModuleFilePath("");
    EXPECT_EQ(app.HelpFilePath(), "");
  }
  EXPECT_EQ(fw::AfxGetApp(), nullptr);
}

}  // namespace
