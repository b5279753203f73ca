// The application object: registration as the module's application and its help-file path.
#include <gtest/gtest.h>

#include "framework/app.h"

namespace {

class TestApp : public fw::CWinApp {};

TEST(AppTest, RegistersItselfAndDerivesTheHelpPathFromTheModulePath) {
  EXPECT_EQ(fw::AfxGetApp(), nullptr);
  {
    TestApp app;
    EXPECT_EQ(fw::AfxGetApp(), &app);
    EXPECT_EQ(app.HelpFilePath(), "");
    app.SetModuleFilePath("C:\\Programme\\Quorbit\\QBNotifyAddOn.dll");
    EXPECT_EQ(app.HelpFilePath(), "C:\\Programme\\Quorbit\\QBNotifyAddOn.HLP");
    app.SetModuleFilePath("/opt/addons/QBNotifyAddOn.so");
    EXPECT_EQ(app.HelpFilePath(), "/opt/addons/QBNotifyAddOn.HLP");
    app.SetModuleFilePath("/opt/v1.2/QBNotifyAddOn");  // a dot in a directory is no extension
    EXPECT_EQ(app.HelpFilePath(), "/opt/v1.2/QBNotifyAddOn.HLP");
    app.SetModuleFilePath("C:\\v1.2\\archive.tar.gz");
    EXPECT_EQ(app.HelpFilePath(), "C:\\v1.2\\archive.tar.HLP");
    app.SetModuleFilePath("");
    EXPECT_EQ(app.HelpFilePath(), "");
  }
  EXPECT_EQ(fw::AfxGetApp(), nullptr);
}

}  // namespace
