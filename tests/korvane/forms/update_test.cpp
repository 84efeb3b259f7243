// The update check: when a poll is due, the check window with and without
// its warning, the answer page of a real (local) server and its download
// link, the settings window, and the small HTTP client underneath.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/scratch.h"
#include "support/tree_builders.h"
#include "korvane/forms/application.h"
#include "korvane/forms/other_forms.h"
#include "korvane/forms/protect_form.h"
#include "korvane/forms/update_settings.h"
#include "korvane/platform/http_get.h"
#include "korvane/platform/settings_file.h"
#include "scripted_ui.h"

namespace korvane {
namespace {

using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::ScopedHomes;
using testsupport::WriteFileAndFolders;

using testing::ScriptedUi;

// No test of this program may touch the settings or reports of the person
// running it: every test starts with configuration and state folders of its
// own, whichever file it lives in.
class PrivateHomes : public ::testing::Environment {
 public:
  void SetUp() override { homes_ = std::make_unique<ScopedHomes>(); }
  void TearDown() override { homes_.reset(); }

 private:
  std::unique_ptr<ScopedHomes> homes_;
};
[[maybe_unused]] ::testing::Environment* const kPrivateHomes =
    ::testing::AddGlobalTestEnvironment(new PrivateHomes);

std::string CompiledBuild() {
  std::string two;
  std::string three;
  std::string four;
  EXPECT_TRUE(GetVersionStrings(KORVANE_VERSION, two, three, four));
  return four;
}

// ---------------------------------------------------------------- a local web server

// Answers HTTP requests on 127.0.0.1 from a thread: each connection's
// request line is recorded and `answer` (given the request target) makes the
// whole raw response. An empty answer keeps the connection open without a
// word (until the server stops), for time-outs.
class LocalHttpServer {
 public:
  explicit LocalHttpServer(std::function<std::string(const std::string& target)> answer)
      : answer_(std::move(answer)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::abort();
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LocalHttpServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  std::string Url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
  }
  std::vector<std::string> Requests() const {
    std::scoped_lock lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd entry{listener_, POLLIN, 0};
      if (poll(&entry, 1, 50) <= 0) continue;
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
      }
      const std::string line = request.substr(0, request.find("\r\n"));
      {
        std::scoped_lock lock(mutex_);
        requests_.push_back(line);
      }
      const std::size_t space = line.find(' ');
      const std::string target = line.substr(space + 1, line.rfind(' ') - space - 1);
      const std::string response = answer_(target);
      if (response.empty()) {
        while (!stop_) {
          pollfd wait{client, POLLIN, 0};
          if (poll(&wait, 1, 50) > 0 && recv(client, buffer, sizeof buffer, 0) <= 0) break;
        }
      } else {
        send(client, response.data(), response.size(), MSG_NOSIGNAL);
      }
      close(client);
    }
  }

  std::function<std::string(const std::string&)> answer_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// A port of this machine that refuses connections: bound, never listening.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::abort();
    }
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  std::string Url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

std::string HtmlAnswer(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// ---------------------------------------------------------------- fixture

struct UpdateFixture : ::testing::Test {
  ScopedHomes home{"korvane_update_test"};
  ScriptedUi ui;
  // A check that starts by itself fails at once instead of going out to
  // the Internet.
  RefusingPort nobody;
  std::string checkUrl = nobody.Url("/update/chkver.php");

  std::string ConfPath() const { return home / "config/korvane/korvane.conf"; }
  void WriteConf(const std::string& updateValues) {
    WriteFileAndFolders(
        ConfPath(), "[Recovery]\nSupportAddress=kept@example.test\n\n[Update]\n" + updateValues);
  }
  std::optional<std::string> Value(const std::string& name) const {
    platform::SettingsFile settings(ConfPath());
    settings.Load();
    if (!settings.HasValue("Update", name)) return std::nullopt;
    return settings.ReadString("Update", name, "");
  }

  TEnvironment Environment(double today) const {
    TEnvironment environment;
    environment.Today = [today] { return today; };
    environment.CheckUrl = [url = checkUrl] { return url; };
    environment.LanguageId = [] { return std::string("ENU"); };
    return environment;
  }
  std::unique_ptr<TApplication> ProtectApp(double today) {
    auto app = std::make_unique<TApplication>(ui, Environment(today));
    app->ParseCommandLine({"korvane", "-PROTECT", home / "Photos"});
    app->CreateForms();
    return app;
  }
  // The first activation of the Protect window on `today`; whether it
  // opened the check window.
  bool ActivateProtect(double today) {
    const std::size_t before = ui.FormsRun.size();
    auto app = ProtectApp(today);
    app->frmProtect->FormActivate();
    app->frmProtect->FormActivate();  // only the first activation counts
    int checks = 0;
    for (std::size_t i = before; i < ui.FormsRun.size(); ++i) {
      checks += ui.FormsRun[i] == "frmCheckUpdates" ? 1 : 0;
    }
    EXPECT_LE(checks, 1);
    EXPECT_EQ(app->ErrorCount, 0);
    return checks == 1;
  }
};

// ---------------------------------------------------------------- the poll rule

TEST_F(UpdateFixture, TheFirstPollComesElevenDaysAfterTheFirstProtection) {
  EXPECT_FALSE(ActivateProtect(45000));
  EXPECT_EQ(Value("FirstStart"), "44997");
  EXPECT_EQ(Value("LastPoll"), std::nullopt);
  EXPECT_FALSE(ActivateProtect(45010));
  EXPECT_EQ(Value("FirstStart"), "44997") << "written once";
  EXPECT_TRUE(ActivateProtect(45011));
  EXPECT_EQ(Value("LastPoll"), "45011") << "stored though the window was closed unused";
  EXPECT_FALSE(ActivateProtect(45012));
  EXPECT_TRUE(ActivateProtect(45025));
}

TEST_F(UpdateFixture, PollRuleCases) {
  struct Case {
    const char* name;
    std::string values;
    double today;
    bool polls;
    const char* firstStartAfter;
  };
  const Case cases[] = {
      {"interval 1, last poll yesterday", "FirstStart=44000\nPollInterval=1\nLastPoll=44999\n",
       45000, true, "44000"},
      {"interval 1, last poll today", "FirstStart=44000\nPollInterval=1\nLastPoll=45000\n", 45000,
       false, "44000"},
      {"last poll counts before first start", "FirstStart=44000\nLastPoll=44990\n", 45000, false,
       "44000"},
      {"no last poll: first start counts", "FirstStart=44986\n", 45000, true, "44986"},
      {"poll off never polls", "AutoPoll=0\nFirstStart=40000\n", 45000, false, "40000"},
      {"poll off still writes first start", "AutoPoll=0\n", 45000, false, "44997"},
      {"only the lowest byte switches", "AutoPoll=256\nFirstStart=40000\n", 45000, false, "40000"},
      {"any nonzero low byte is on", "AutoPoll=2\nFirstStart=40000\n", 45000, true, "40000"},
      {"unreadable values are defaults", "AutoPoll=yes\nPollInterval=x\nFirstStart=44986\n", 45000,
       true, "44986"},
  };
  for (const Case& c : cases) {
    WriteConf(c.values);
    EXPECT_EQ(ActivateProtect(c.today), c.polls) << c.name;
    EXPECT_EQ(Value("FirstStart"), c.firstStartAfter) << c.name;
    EXPECT_EQ(Value("PollInterval").has_value(), c.values.find("PollInterval") != std::string::npos)
        << c.name << ": the rule stores nothing else";
  }
  platform::SettingsFile settings(ConfPath());
  settings.Load();
  EXPECT_EQ(settings.ReadString("Recovery", "SupportAddress", ""), "kept@example.test");
}

// ---------------------------------------------------------------- the check window

TEST_F(UpdateFixture, AutoUpdateFlagDecidesTheWarning) {
  struct Case {
    const char* flag;
    bool warns;
  };
  const Case cases[] = {{nullptr, true}, {"0", true}, {"1", false}, {"257", false}, {"2", true}};
  for (const Case& c : cases) {
    WriteConf(std::string("FirstStart=40000\n") +
              (c.flag ? std::string("AutoUpdateFlag=") + c.flag + "\n" : ""));
    bool warned = false;
    std::string loadedBeforeContinue;
    std::string loadedAfterContinue;
    ui.Scripts["frmCheckUpdates"] = [&](TForm& form) {
      auto& check = dynamic_cast<TfrmCheckUpdates&>(form);
      warned = check.pnlWarning.Showing();
      EXPECT_EQ(check.cbxWarnCheckUpd.Showing(), warned);
      loadedBeforeContinue = check.wbrCheckUpdate.LocationUrl();
      check.btnContinue.Click();  // does nothing unless the warning is up
      loadedAfterContinue = check.wbrCheckUpdate.LocationUrl();
      EXPECT_FALSE(check.pnlMessage.Visible) << "the page (an error page) has come";
      EXPECT_FALSE(check.btnGetUpdate.Enabled);
    };
    ASSERT_TRUE(ActivateProtect(45000)) << c.flag;
    EXPECT_EQ(warned, c.warns) << (c.flag ? c.flag : "missing");
    EXPECT_EQ(loadedBeforeContinue.empty(), c.warns) << "nothing is loaded behind the warning";
    EXPECT_EQ(loadedAfterContinue.rfind(checkUrl + "?prod=korvapp&curbuild=", 0), 0u)
        << loadedAfterContinue;
  }
}

TEST_F(UpdateFixture, ClosingWithTheBoxTickedStopsTheWarning) {
  for (const bool tick : {false, true}) {
    WriteConf("FirstStart=40000\n");
    ui.Scripts["frmCheckUpdates"] = [tick](TForm& form) {
      auto& check = dynamic_cast<TfrmCheckUpdates&>(form);
      check.cbxWarnCheckUpd.SetChecked(tick);
      check.btnClose.Click();
      EXPECT_FALSE(check.Visible());
    };
    ASSERT_TRUE(ActivateProtect(45000));
    EXPECT_EQ(Value("AutoUpdateFlag"), tick ? std::optional<std::string>("1") : std::nullopt);
    EXPECT_EQ(Value("LastPoll"), "45000");
  }
}

TEST_F(UpdateFixture, ConfigureOpensTheSettingsFromTheCheckWindow) {
  WriteConf("FirstStart=40000\n");
  ui.Scripts["frmCheckUpdates"] = [](TForm& form) {
    auto& check = dynamic_cast<TfrmCheckUpdates&>(form);
    check.btnConfigure.Click();
    check.btnConfigureRight.Click();
  };
  ui.Scripts["frmSettings"] = [](TForm& form) {
    auto& settings = dynamic_cast<TfrmSettings&>(form);
    settings.cbxPollUpdates.SetChecked(false);
    settings.btnOk.Click();
  };
  ASSERT_TRUE(ActivateProtect(45000));
  EXPECT_EQ(ui.FormsRun,
            (std::vector<std::string>{"frmCheckUpdates", "frmSettings", "frmSettings"}));
  EXPECT_EQ(Value("AutoPoll"), "0");
  EXPECT_FALSE(ActivateProtect(46000)) << "the new setting holds";
}

TEST_F(UpdateFixture, TheAnswerPageOffersItsLastDownloadLink) {
  // The check page redirects to the answer page, whose links are relative to
  // it; a link that would open anything but a web page is never offered.
  const std::string page =
      "<html><body><p>Korvane 9.0 is out.</p>\n"
      "<a href=\"http://mirror.example/korvane-9.0.tar.gz?maindnld=1\">first</a>\n"
      "<a href=\"notes.html\">release notes</a>\n"
      "<!-- <a href=\"http://old.example/?maindnld=1\">old</a> -->\n"
      "<A class=big HREF='../files/korvane-9.0.deb?maindnld=1&amp;arch=amd64'>second</A>\n"
      "<a href=\"file:///etc/passwd?maindnld=1\">not a web page</a>\n"
      "</body></html>";
  LocalHttpServer server([&](const std::string& target) -> std::string {
    if (target.rfind("/update/chkver.php", 0) == 0) {
      return "HTTP/1.1 302 Found\r\nLocation: /update/v2/answer.html\r\nContent-Length: "
             "0\r\n\r\n";
    }
    return HtmlAnswer(page);
  });
  checkUrl = server.Url("/update/chkver.php");
  WriteConf("FirstStart=40000\nAutoUpdateFlag=1\n");
  std::string link;
  bool enabled = false;
  ui.Scripts["frmCheckUpdates"] = [&](TForm& form) {
    auto& check = dynamic_cast<TfrmCheckUpdates&>(form);
    link = check.DownloadLink;
    enabled = check.btnGetUpdate.Enabled;
    EXPECT_EQ(check.wbrCheckUpdate.DocumentHtml(), page);
    check.btnGetUpdate.Click();
  };
  ASSERT_TRUE(ActivateProtect(45000));
  const std::string expected = server.Url("/update/files/korvane-9.0.deb?maindnld=1&arch=amd64");
  EXPECT_EQ(link, expected);
  EXPECT_TRUE(enabled);
  EXPECT_EQ(ui.Opened, std::vector<std::string>{expected + "&ref=korvapp"});
  EXPECT_EQ(server.Requests(),
            (std::vector<std::string>{"GET /update/chkver.php?prod=korvapp&curbuild=" +
                                          CompiledBuild() + "&lg=ENU HTTP/1.0",
                                      "GET /update/v2/answer.html HTTP/1.0"}));
}

TEST_F(UpdateFixture, APageWithoutDownloadLinkLeavesGetUpdateDisabled) {
  LocalHttpServer server([](const std::string&) {
    return HtmlAnswer("<a href=\"/news\">news</a> You have the latest version.");
  });
  checkUrl = server.Url("/update/chkver.php");
  WriteConf("FirstStart=40000\nAutoUpdateFlag=1\n");
  ui.Scripts["frmCheckUpdates"] = [](TForm& form) {
    auto& check = dynamic_cast<TfrmCheckUpdates&>(form);
    EXPECT_EQ(check.DownloadLink, "");
    EXPECT_FALSE(check.btnGetUpdate.Enabled);
    check.btnGetUpdate.Click();
  };
  ASSERT_TRUE(ActivateProtect(45000));
  EXPECT_TRUE(ui.Opened.empty());
}

TEST(CheckUpdatesWindow, OpenDownloadLinkAddsSchemeAndReferrer) {
  const std::pair<std::string, std::string> cases[] = {
      {"www.x.example/d?a=1", "http://www.x.example/d?a=1&ref=korvapp"},
      {"WWW.X.example/d", "http://WWW.X.example/d?ref=korvapp"},
      {"http://x/d", "http://x/d?ref=korvapp"},
      {"https://x/d?maindnld=1", "https://x/d?maindnld=1&ref=korvapp"},
  };
  for (const auto& [address, opened] : cases) {
    ScriptedUi ui;
    TApplication app(ui);
    TfrmCheckUpdates check(app);
    check.OpenDownloadLink(address);
    EXPECT_EQ(ui.Opened, std::vector<std::string>{opened}) << address;
  }
}

// ---------------------------------------------------------------- the settings window

TEST_F(UpdateFixture, SettingsWindowShowsTheStoredValues) {
  struct Case {
    std::string values;
    bool poll;
    std::string interval;
    std::string lastPoll;
    bool noWarning;
  };
  const Case cases[] = {
      {"", true, "14", "<never>", false},
      {"AutoPoll=0\nPollInterval=500\nLastPoll=45000\nAutoUpdateFlag=1\n", false, "100",
       FormatShortDate(45000), true},
      {"PollInterval=0\nLastPoll=0\nAutoUpdateFlag=3\n", true, "1", "<never>", false},
      {"PollInterval=-7\n", true, "1", "<never>", false},
  };
  for (const Case& c : cases) {
    WriteConf(c.values);
    ScriptedUi local;
    TApplication app(local, Environment(45000));
    app.CreateForms();
    TfrmSettings& settings = *app.frmSettings;
    local.Scripts["frmSettings"] = [&](TForm&) {
      EXPECT_EQ(settings.cbxPollUpdates.Checked(), c.poll) << c.values;
      EXPECT_EQ(settings.edPollUpdInt.Text(), c.interval) << c.values;
      EXPECT_EQ(settings.edLastPoll.Text(), c.lastPoll) << c.values;
      EXPECT_TRUE(settings.edLastPoll.ReadOnly);
      EXPECT_EQ(settings.cbxAutoUpdateFlag.Checked(), c.noWarning) << c.values;
    };
    EXPECT_EQ(settings.ShowModal(), mrCancel);
    EXPECT_TRUE(local.Boxes.empty()) << "the start-up note belongs to the main window only";
  }
}

TEST_F(UpdateFixture, SettingsWindowStoresOnlyOnOk) {
  struct Case {
    const char* name;
    std::function<void(TfrmSettings&)> edit;
    bool ok;
    std::optional<std::string> autoPoll, interval, autoUpdate;
  };
  const Case cases[] = {
      {"ok stores all three",
       [](TfrmSettings& s) {
         s.cbxPollUpdates.SetChecked(false);
         s.udPollUpdInt.ClickUp();
         s.cbxAutoUpdateFlag.SetChecked(true);
       },
       true, "0", "8", "1"},
      {"typed number", [](TfrmSettings& s) { s.edPollUpdInt.SetText("30"); }, true, "1", "30", "0"},
      {"typed beyond the range", [](TfrmSettings& s) { s.edPollUpdInt.SetText("250"); }, true, "1",
       "100", "0"},
      {"typed nonsense", [](TfrmSettings& s) { s.edPollUpdInt.SetText("soon"); }, true, "1", "7",
       "0"},
      {"arrows stop at the ends",
       [](TfrmSettings& s) {
         for (int i = 0; i < 20; ++i) s.udPollUpdInt.ClickDown();
       },
       true, "1", "1", "0"},
      {"cancel stores nothing", [](TfrmSettings& s) { s.cbxPollUpdates.SetChecked(false); }, false,
       std::nullopt, "7", std::nullopt},
  };
  for (const Case& c : cases) {
    WriteConf("PollInterval=7\nLastPoll=44000.5\nFirstStart=43000\n");
    ScriptedUi local;
    TApplication app(local, Environment(45000));
    app.CreateForms();
    TfrmSettings& settings = *app.frmSettings;
    local.Scripts["frmSettings"] = [&](TForm&) {
      c.edit(settings);
      (c.ok ? settings.btnOk : settings.btnCancel).Click();
    };
    EXPECT_EQ(settings.ShowModal(), c.ok ? mrOk : mrCancel) << c.name;
    EXPECT_EQ(Value("AutoPoll"), c.autoPoll) << c.name;
    EXPECT_EQ(Value("PollInterval"), c.interval) << c.name;
    EXPECT_EQ(Value("AutoUpdateFlag"), c.autoUpdate) << c.name;
    EXPECT_EQ(Value("LastPoll"), "44000.5") << c.name;
    EXPECT_EQ(Value("FirstStart"), "43000") << c.name;
  }
}

TEST(ShortDate, DayCountsAreDates) {
  // The C locale's short date is mm/dd/yy.
  const std::pair<double, std::string> cases[] = {
      {45000, "03/15/23"}, {45000.99, "03/15/23"}, {36526, "01/01/00"}, {1, "12/31/99"},
      {60, "02/28/00"},    {61, "03/01/00"},       {-1, "12/29/99"},    {1e300, "1e+300"},
  };
  for (const auto& [date, text] : cases) EXPECT_EQ(FormatShortDate(date), text) << date;
  const double today = LocalToday();
  EXPECT_EQ(today, static_cast<double>(static_cast<long>(today))) << "whole days";
  EXPECT_GT(today, 45000);  // after March 2023
}

// ---------------------------------------------------------------- settings file failures

TEST_F(UpdateFixture, WriteFailuresRaiseAndKeepTheFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads and writes everything";
  WriteConf("PollInterval=9\n");
  const std::string before = ReadFile(ConfPath());
  chmod(ConfPath().c_str(), 0200);
  EXPECT_THROW(WriteRegInteger(kUpdateKey, "AutoPoll", 0), std::system_error)
      << "a file that cannot be read is not replaced by one without its values";
  chmod(ConfPath().c_str(), 0600);
  EXPECT_EQ(ReadFile(ConfPath()), before);

  chmod((home / "config/korvane").c_str(), 0500);
  EXPECT_THROW(WriteRegDate(kUpdateKey, "LastPoll", 45000), std::system_error);
  EXPECT_EQ(ReadRegInteger(kUpdateKey, "PollInterval", 14), 9) << "reading still works";
  // The poll rule's write fails: the error is shown, the Protect window goes on.
  auto app = ProtectApp(45000);
  app->frmProtect->Show();
  EXPECT_TRUE(app->frmProtect->Visible());
  EXPECT_EQ(app->ErrorCount, 1);
  ASSERT_TRUE(app->ErrorDialog);
  EXPECT_NE(app->ErrorDialog->LabelError.Caption.find("Cannot write the settings file"),
            std::string::npos)
      << app->ErrorDialog->LabelError.Caption;
  chmod((home / "config/korvane").c_str(), 0700);
}

TEST(UpdateSettings, KeysAndLanguage) {
  EXPECT_EQ(RegistrySection(kUpdateKey), "Update");
  struct Case {
    std::optional<std::string> all, messages, lang;
    std::string id;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, "en_US.UTF-8", "ENU"},
      {std::nullopt, std::nullopt, "de_AT@euro", "DEA"},
      {std::nullopt, std::nullopt, "fr", "FR"},
      {std::nullopt, std::nullopt, "C.UTF-8", "ENU"},
      {std::nullopt, std::nullopt, "POSIX", "ENU"},
      {std::nullopt, std::nullopt, "x&lg=1", "ENU"},
      {std::nullopt, std::nullopt, std::nullopt, "ENU"},
      {"pt_BR.UTF-8", "de_DE", "en_US", "PTB"},
      {"", "de_DE", "en_US", "DED"},
  };
  for (const Case& c : cases) {
    ScopedEnv all("LC_ALL", c.all);
    ScopedEnv messages("LC_MESSAGES", c.messages);
    ScopedEnv lang("LANG", c.lang);
    EXPECT_EQ(UserLanguageId(), c.id) << c.lang.value_or("-");
  }
}

// ---------------------------------------------------------------- links and addresses

TEST(DocumentLinks, FoundInOrderWithReferencesDecoded) {
  const std::string html =
      "<html><a href=\"a?x=1&amp;y=2\">1</a><abbr href=\"no\">x</abbr>"
      "<!-- <a href=\"hidden\"> --><A HREF='b'>2</A><a name=top>3</a>"
      "<a class=c href=c&#38;d>4</a><a\nhref = \" e \" href=\"second\">5</a>"
      "<a href=\"&#x2F;f&lt;&bogus;\">6</a><a href=\"unterminated";
  EXPECT_EQ(ExtractDocumentLinks(html),
            (std::vector<std::string>{"a?x=1&y=2", "b", "c&d", "e", "/f<&bogus;"}));
}

TEST(HttpAddresses, ParsedOrRefused) {
  struct Case {
    std::string url;
    bool ok;
    std::string host, port, target;
  };
  const Case cases[] = {
      {"http://update.example/update/chkver.php?prod=k&lg=ENU", true, "update.example", "80",
       "/update/chkver.php?prod=k&lg=ENU"},
      {"HTTP://h:8080", true, "h", "8080", "/"},
      {"http://h?q=1#frag", true, "h", "80", "/?q=1"},
      {"http://[::1]:81/p", true, "::1", "81", "/p"},
      {"http://h/caf\xC3\xA9", true, "h", "80", "/caf%C3%A9"},
      {"https://h/", false, "", "", ""},
      {"ftp://h/", false, "", "", ""},
      {"http://", false, "", "", ""},
      {"http://:80/", false, "", "", ""},
      {"http://user@h/", false, "", "", ""},
      {"http://h:0/", false, "", "", ""},
      {"http://h:65536/", false, "", "", ""},
      {"http://h:8x/", false, "", "", ""},
      {"http://h/a b", false, "", "", ""},
      {"http://h/x\r\nX-Injected: 1", false, "", "", ""},
      {"http://h\n/", false, "", "", ""},
  };
  for (const Case& c : cases) {
    platform::HttpAddress address;
    ASSERT_EQ(platform::ParseHttpAddress(c.url, address), c.ok) << c.url;
    if (!c.ok) continue;
    EXPECT_EQ(address.Host, c.host) << c.url;
    EXPECT_EQ(address.Port, c.port) << c.url;
    EXPECT_EQ(address.Target, c.target) << c.url;
  }
}

TEST(HttpAddresses, LinksResolveAgainstThePage) {
  const std::string base = "http://h:8/update/chkver.php?x=1#top";
  const std::pair<std::string, std::string> cases[] = {
      {"dl.zip", "http://h:8/update/dl.zip"},
      {"../f/a?maindnld=1", "http://h:8/f/a?maindnld=1"},
      {"./a/./b/../c", "http://h:8/update/a/c"},
      {"../../../up", "http://h:8/up"},
      {"dir/", "http://h:8/update/dir/"},
      {"/root", "http://h:8/root"},
      {"//other/x", "http://other/x"},
      {"?q=2", "http://h:8/update/chkver.php?q=2"},
      {"#end", "http://h:8/update/chkver.php?x=1#end"},
      {"", "http://h:8/update/chkver.php?x=1"},
      {"https://s/x", "https://s/x"},
      {"mailto:a@b", "mailto:a@b"},
  };
  for (const auto& [reference, resolved] : cases) {
    EXPECT_EQ(platform::ResolveUrl(base, reference), resolved) << reference;
  }
  EXPECT_EQ(platform::ResolveUrl("http://h", "x"), "http://h/x");
}

TEST(HttpGet, AnswersAndTheirFaults) {
  std::string big(3 * 1024 * 1024, 'x');
  LocalHttpServer server([&](const std::string& target) -> std::string {
    if (target == "/chunked") {
      return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"
             "7;ext=1\r\n, world\r\n0\r\n\r\n";
    }
    if (target == "/short") return "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nonly this";
    if (target == "/long") return "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nfour and more";
    if (target == "/missing") return "HTTP/1.0 404 Not Found\r\n\r\n<p>gone</p>";
    if (target == "/big") return "HTTP/1.0 200 OK\r\n\r\n" + big;
    if (target == "/loop") return "HTTP/1.0 302 Found\r\nLocation: /loop\r\n\r\n";
    if (target == "/secure") return "HTTP/1.0 301 Moved\r\nLocation: https://h/\r\n\r\n";
    if (target == "/garbage") return "SSH-2.0-something\r\n\r\n";
    if (target == "/silent") return "";
    return "HTTP/1.0 500 Oops\r\n\r\n";
  });
  using namespace std::chrono_literals;
  struct Case {
    std::string target;
    bool ok;
    int status;
    std::string body;
    std::string error;
  };
  const Case cases[] = {
      {"/chunked", true, 200, "hello, world", ""}, {"/long", true, 200, "four", ""},
      {"/missing", true, 404, "<p>gone</p>", ""},  {"/short", false, 0, "", "ended early"},
      {"/big", false, 0, "", "too large"},         {"/loop", false, 0, "", "Too many redirects"},
      {"/secure", false, 0, "", "does not fetch"}, {"/garbage", false, 0, "", "not HTTP"},
      {"/silent", false, 0, "", "in time"},
  };
  for (const Case& c : cases) {
    const platform::HttpResponse response = platform::HttpGet(server.Url(c.target), 500ms);
    EXPECT_EQ(response.Ok, c.ok) << c.target << ": " << response.Error;
    EXPECT_EQ(response.Status, c.status) << c.target;
    EXPECT_EQ(response.Body, c.body) << c.target;
    EXPECT_NE(response.Error.find(c.error), std::string::npos)
        << c.target << ": " << response.Error;
  }
  const RefusingPort nobody;
  const platform::HttpResponse refused = platform::HttpGet(nobody.Url("/"), 2s);
  EXPECT_FALSE(refused.Ok);
  EXPECT_NE(refused.Error.find("Cannot connect"), std::string::npos) << refused.Error;
}

}  // namespace
}  // namespace korvane
