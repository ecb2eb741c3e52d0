// Another user (nobody) who may write a watched directory tries to make the
// agent read a root-only file: a link planted before the first open, links
// renamed over a pattern's matches, a pattern directory swapped for a link,
// and files that come and go in a pattern directory.
#include <grp.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/agent_process.h"
#include "tests/e2e/e2e_util.h"

namespace qortest {
namespace {

constexpr uid_t kNobody = 65534;

// Runs `work` in a child process as nobody; its pid (the caller waits).
pid_t StartAsNobody(const std::function<void()>& work) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 ||
        setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      _exit(2);
    }
    work();
    _exit(0);
  }
  return pid;
}

bool AsNobody(const std::function<void()>& work) {
  const pid_t pid = StartAsNobody(work);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// The agent watching `config` (and a control log), with situations on
// "secret" and "mark" lines. A root-only secret file holds secret lines.
class Planted_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root to act as another user";
    }
    ASSERT_EQ(mkdir(dir_.File("root").c_str(), 0700), 0);
    secret_ = dir_.File("root/secret.log");
    std::string lines;
    for (int i = 0; i < 50; ++i) {
      lines +=
          SyslogLine(time(nullptr), "h", "app: secret " + std::to_string(i));
    }
    WriteFile(secret_, lines);
    ASSERT_EQ(chmod(secret_.c_str(), 0600), 0);
    // Others must reach the places they may write.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    control_ = dir_.File("control.log");
    WriteFile(control_, "");
  }
  // A directory nobody owns and may write.
  std::string NobodysDir(const std::string& name) {
    const std::string d = dir_.File(name);
    EXPECT_EQ(mkdir(d.c_str(), 0755), 0);
    EXPECT_EQ(chown(d.c_str(), kNobody, kNobody), 0);
    return d;
  }
  void Start(const std::string& config) {
    WriteFile(dir_.File("qoragent.conf"), config + control_ + "\n");
    WriteFile(
        dir_.File("situations"),
        "secret VXLOGENT ENTRYDESC ~ \"secret\"\nmark VXLOGENT ENTRYDESC ~ \"mark\"\n");
    agent_.SetEnv("TVX_CONFIG_FILE", dir_.File("qoragent.conf"));
    agent_.SetEnv("HOV_SITUATIONS", dir_.File("situations"));
    ASSERT_TRUE(agent_.Start());
    ASSERT_TRUE(WaitUntil([&] { return agent_.Ctl({"ping"}).status == 0; }))
        << agent_.Output();
    ASSERT_TRUE(WaitWatching(agent_, control_)) << agent_.Trace();
  }
  bool Traced(const std::string& text) {
    return WaitUntil(
        [&] { return agent_.Trace().find(text) != std::string::npos; },
        std::chrono::seconds(20));
  }
  // No secret line became an event, once a later mark was delivered.
  void ExpectNoSecret() {
    AppendFile(control_, SyslogLine(time(nullptr), "h", "app: mark end"));
    ASSERT_TRUE(agent_.WaitEvents("mark end")) << agent_.Trace();
    EXPECT_EQ(agent_.Events().find("secret"), std::string::npos)
        << agent_.Events();
  }

  Scoped_Temp_Dir dir_;
  Agent_Process agent_{dir_};
  std::string secret_;
  std::string control_;
};

TEST_F(Planted_Test, LinkPlantedBeforeTheFirstOpenIsNotFollowed) {
  const std::string drop = NobodysDir("drop");
  const std::string log = drop + "/app.log";
  Start(log + " ;N ;S\n");
  ASSERT_TRUE(AsNobody([&] {
    if (symlink(secret_.c_str(), log.c_str()) != 0) {
      _exit(3);
    }
  }));
  EXPECT_TRUE(Traced(
      "\nError opening file " + log + ": " + log +
      ": a symbolic link in a directory other users may write is not followed"))
      << agent_.Trace();
  ExpectNoSecret();
}

TEST_F(Planted_Test, LinksRenamedOverPatternMatchesAreNeverRead) {
  const std::string apps = NobodysDir("apps");
  Start(apps + "/*.log ;N ;S\n");
  const std::string secret = secret_;
  // Each round: a harmless file appears, then a link to the secret is
  // renamed over it, racing the agent's look and its worker's open.
  const pid_t racer = StartAsNobody([&] {
    for (int i = 0; i < 300; ++i) {
      const std::string name = apps + "/r" + std::to_string(i % 10) + ".log";
      FILE* f = fopen((name + ".tmp").c_str(), "w");
      if (f == nullptr) {
        _exit(3);
      }
      fputs("plain line\n", f);
      fclose(f);
      if (rename((name + ".tmp").c_str(), name.c_str()) != 0 ||
          symlink(secret.c_str(), (name + ".lnk").c_str()) != 0 ||
          rename((name + ".lnk").c_str(), name.c_str()) != 0) {
        _exit(4);
      }
      usleep(i % 7 * 1000);
    }
  });
  ASSERT_GT(racer, 0);
  int status = 0;
  ASSERT_EQ(waitpid(racer, &status, 0), racer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(Traced("a symbolic link in a directory other users may write") ||
              Traced("is no log of pattern"))
      << agent_.Trace();
  ExpectNoSecret();
}

TEST_F(Planted_Test, PatternDirectorySwappedForALinkIsRefused) {
  const std::string pub = NobodysDir("pub");
  const std::string app = pub + "/app";
  ASSERT_EQ(mkdir(app.c_str(), 0755), 0);
  WriteFile(app + "/a.log", "");
  Start(app + "/*.log ;N ;S\n");
  ASSERT_TRUE(WaitWatching(agent_, app + "/a.log")) << agent_.Trace();
  const std::string target = dir_.File("root");
  ASSERT_TRUE(AsNobody([&] {
    if (rename(app.c_str(), (app + ".old").c_str()) != 0 ||
        symlink(target.c_str(), app.c_str()) != 0) {
      _exit(3);
    }
  }));
  EXPECT_TRUE(Traced(
      "\nPattern directory " + app + " is refused: " + app +
      ": a symbolic link in a directory other users may write is not followed."))
      << agent_.Trace();
  ExpectNoSecret();
}

}  // namespace
}  // namespace qortest
