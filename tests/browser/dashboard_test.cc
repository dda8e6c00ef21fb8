// The dashboard as a real browser renders it: Debian's chromium, headless,
// loads the page of a running server, and the test reads the DOM the
// browser built (--dump-dom) and a screenshot it took.
//
// What only a browser can show: that the page parses into the structure we
// mean (four figure cards, one entry per device, the log panel), and that a
// device name carrying a script becomes text in the DOM and never runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "server_test.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Written as a device name, this would retitle the page if it ever ran.
const std::string InjectedName = "<script>document.title='injected'</script>";

struct BrowserRun {
  bool finished = false;  // exited on its own within the time limit
  int exit_code = -1;
  std::string output;  // stdout
  std::string errors;  // stderr
};

// Runs chromium headless on `url` with `extra` flags and a fresh profile.
// The browser and its helper processes form a process group of their own,
// which is ended as a whole once the browser exits or runs out of time.
BrowserRun RunBrowser(const std::string& url, const std::vector<std::string>& extra,
                      std::chrono::seconds limit = 90s) {
  TempDir scratch;
  std::string out_path = scratch / "stdout";
  std::string err_path = scratch / "stderr";
  std::vector<std::string> args = {
      KELVRA_CHROMIUM,
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-background-networking",
      "--disable-component-update",
      "--no-first-run",
      "--user-data-dir=" + (scratch / "profile"),
  };
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(url);

  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  setpgid(pid, pid);  // also from here, so the group exists before we may kill it

  BrowserRun run;
  auto until = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= until) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      run.errors = "chromium did not finish within the time limit\n";
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  if (run.errors.empty()) {
    run.finished = true;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  kill(-pid, SIGKILL);  // helpers that outlived the browser, if any
  run.output = ReadFile(out_path);
  run.errors += ReadFile(err_path);
  return run;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class DashboardInBrowser : public ServerTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(KELVRA_CHROMIUM))
        << "chromium not found at " KELVRA_CHROMIUM
           ": install Debian's chromium package (make test does)";
    ServerTest::SetUp();
    if (HasFatalFailure()) return;
    std::string alice = Register(port(), "alice", "laptop");
    Json beat =
        PostJson(port(), "/api/heartbeat.php", {{"device", "phone"}, {"env", "android"}}, alice);
    ASSERT_EQ(beat.value("ok", false), true) << beat.dump();
    Register(port(), "<b>mallory</b>", InjectedName);
    // A device last seen an hour ago, shown as offline.
    db()->Exec("INSERT INTO devices(user_id,name,env,last_seen) VALUES(1,'nas','linux',?)",
               {std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count() -
                               3600000)});
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port()) + "/"; }
};

TEST_F(DashboardInBrowser, RendersCardsDevicesAndLogWithClientTextsAsText) {
  BrowserRun run = RunBrowser(Url(), {"--dump-dom"});
  ASSERT_TRUE(run.finished) << run.errors;
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  const std::string& dom = run.output;
  ASSERT_NE(dom.find("</html>"), std::string::npos) << "no document rendered:\n" << run.errors;

  EXPECT_EQ(Count(dom, "<div class=\"c\">"), 4u) << dom;
  EXPECT_EQ(Count(dom, "<div class=\"dev\">"), 4u) << dom;
  EXPECT_EQ(Count(dom, "<span class=\"on\"></span>"), 3u) << dom;
  EXPECT_EQ(Count(dom, "<span class=\"off\"></span>"), 1u) << dom;
  EXPECT_NE(dom.find("<div class=\"n\">2</div><div class=\"l\">账号</div>"), std::string::npos);

  // The log panel holds the lines newest first, the markup of the account
  // name as text.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(dom, m, std::regex("<pre>([^<]*)</pre>"))) << dom;
  std::regex panel(
      "\\[[^\n]*\\] 注册账号: &lt;b&gt;mallory&lt;/b&gt; 设备: "
      "&lt;script&gt;document.title='injected'&lt;/script&gt;\n"
      "\\[[^\n]*\\] 注册账号: alice 设备: laptop\n"
      "\\[[^\n]*\\] Kelvra 同步服务端 v1\\.0\\.0 启动, 端口 \\d+\n");
  EXPECT_TRUE(std::regex_match(m[1].str(), panel)) << m[1].str();

  // The injected name is a text node of its device entry; the browser made
  // no script or bold element of it, and nothing retitled the page.
  EXPECT_NE(dom.find("<div class=\"dev\"><span class=\"on\"></span>"
                     "&lt;script&gt;document.title='injected'&lt;/script&gt; <em>other</em></div>"),
            std::string::npos)
      << dom;
  EXPECT_EQ(Count(dom, "<script"), 0u);
  EXPECT_EQ(Count(dom, "<b>"), 0u);
  EXPECT_EQ(Count(dom, "<title>"), 1u);
  EXPECT_NE(dom.find("<title>Kelvra 同步服务端</title>"), std::string::npos);
  EXPECT_EQ(dom.find("injected</title>"), std::string::npos);
}

TEST_F(DashboardInBrowser, SavesAScreenshot) {
  fs::create_directories(KELVRA_BROWSER_OUTPUT);
  std::string shot = std::string(KELVRA_BROWSER_OUTPUT) + "/dashboard.png";
  fs::remove(shot);
  BrowserRun run = RunBrowser(Url(), {"--screenshot=" + shot, "--window-size=1100,800"});
  ASSERT_TRUE(run.finished) << run.errors;
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  std::string png = ReadFile(shot);
  ASSERT_GE(png.size(), 24u) << "no screenshot at " << shot << "\n" << run.errors;
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  // Width and height from the IHDR chunk: the window size asked for.
  auto be32 = [&](size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(png[at + i]);
    return v;
  };
  EXPECT_EQ(be32(16), 1100u);
  EXPECT_EQ(be32(20), 800u);
  std::cout << "screenshot: " << shot << "\n";
}

}  // namespace
}  // namespace kelvra::test
