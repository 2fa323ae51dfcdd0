// needs: display bus keyring
// The bundled page's controller section in a real web view: a record entered in the form goes to
// the keyring, and the controller's quick actions are edited through setItems/getItems.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include "app/Interface.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "plugins/services/HubstationInfoStore.h"
#include "plugins/services/QuickActions.h"
#include "plugins/standard/KCKeychain.h"
#include "tests/support/page_fixture.h"
#include "tests/support/test_util.h"

using platform::Value;

namespace {

void setField(MainInterface& ui, const std::string& id, const std::string& value) {
    ui.webView->evaluateScript("document.getElementById(" + platform::jsStringLiteral(id) + ").value = " +
                               platform::jsStringLiteral(value));
}

}  // namespace

TEST(ControllersPage, StoresARecordAndEditsItsQuickActions) {
    gtk_init(nullptr, nullptr);
    const std::string serial = "504F94A01234";
    // Another controller's entry, which editing this one must keep.
    platform::UserDefaults::standard().set(
        kQuickActionsKey,
        platform::makeBytes(platform::KeyedArchiver::archivedDataWithRootObject(platform::ArchiveObject::array(
            {platform::ArchiveObject(std::make_shared<QuickAction>("OTHER-1", "Other", QuickAction::QuickActionType::Command,
                                                                   std::vector<std::string>{"/x"}, std::nullopt,
                                                                   "504F94A09999", std::nullopt, std::nullopt))}))));

    testutil::LogCapture log;
    auto ui = MainInterface::load();
    ASSERT_TRUE(testutil::spinUntil([&] { return ui->viewController->mainFrameLoaded; }, 30));
    ASSERT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('bridge-state').textContent", "ready"));

    setField(*ui, "hs-mac", serial);
    setField(*ui, "hs-local", "192.168.1.20");
    setField(*ui, "hs-remote", "remote.example:8443");
    setField(*ui, "hs-user", "admin");
    setField(*ui, "hs-password", "pa'ss\"wörd");
    ui->webView->evaluateScript("document.getElementById('hs-store').click()");
    ASSERT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('hs-state').textContent", "stored"));
    EXPECT_EQ(HubstationInfoStore::storedRecord(serial),
              (Value{{"mac", serial}, {"localUrl", "192.168.1.20"}, {"remoteUrl", "remote.example:8443"},
                     {"username", "admin"}, {"password", "pa'ss\"wörd"}, {"publicKey", ""}, {"configVersion", ""}}));

    ui->webView->evaluateScript(
        "kivanoControllers.addRow({cmds: ['/dev/sps/io/1/on', '/dev/sps/io/2/off'], title: 'Lights', subtitle: 'Hall'});"
        "kivanoControllers.addRow({url: 'kivano://?loc=cams', title: 'Cameras'});"
        "kivanoControllers.saveQuickActions();");
    ASSERT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('qa-state').textContent", "Saved 2"));
    auto list = QuickActions::storedQuickActions();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 3u);
    EXPECT_EQ((*list)[0]->UUID(), "OTHER-1");
    EXPECT_EQ((*list)[1]->title(), "Lights");
    EXPECT_EQ((*list)[1]->type, QuickAction::QuickActionType::Command);
    EXPECT_EQ((*list)[1]->commands(), (std::vector<std::string>{"/dev/sps/io/1/on", "/dev/sps/io/2/off"}));
    EXPECT_EQ((*list)[1]->serialNo(), serial);
    EXPECT_EQ((*list)[1]->subtitle(), "Hall");
    EXPECT_EQ((*list)[2]->type, QuickAction::QuickActionType::Position);
    EXPECT_EQ((*list)[2]->URL(), "kivano://?loc=cams");

    // Reading the record back fills the form and lists only this controller's entries.
    ui->webView->evaluateScript("document.getElementById('qa-list').textContent = '';"
                                "document.getElementById('hs-password').value = '';"
                                "document.getElementById('hs-read').click()");
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('qa-state').textContent", "2 quick actions of this controller, 1 of others"));
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('hs-password').value", "pa'ss\"wörd"));

    ui->webView->evaluateScript("document.getElementById('hs-clear').click()");
    ASSERT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('hs-state').textContent", "removed"));
    EXPECT_FALSE(HubstationInfoStore::storedRecord(serial));
    EXPECT_EQ(KCKeychain::lastLoadStatus(), KCKeychainLoadStatus::NotFound);
    ui.reset();
}
