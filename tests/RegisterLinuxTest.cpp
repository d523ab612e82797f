// tamberlo-register on Linux, run as a user runs it, in a temporary HOME (and a staging root
// for --system): the manifests it leaves, what it says, and what it refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "support/TestSupport.h"

namespace tamberlo {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using Callers = std::vector<std::string>;

const std::string kId = "kdpkkgplnmfjaebhnbbaajgkjakjeefi";
const std::string kOtherId = "abcdefghijklmnopabcdefghijklmnop";
const std::string kFirefoxId = "host-test@tamberlo.example";
const std::string kOtherFirefoxId = "{8d3a5c7e-1f2b-4c3d-9e8f-0a1b2c3d4e5f}";
const std::string kA = "chrome-extension://" + kId + "/";
const std::string kB = "chrome-extension://" + kOtherId + "/";
const std::string kChromium = ".config/chromium/NativeMessagingHosts/tamberlo.host.json";
const std::string kChrome = ".config/google-chrome/NativeMessagingHosts/tamberlo.host.json";
const std::string kEdge = ".config/microsoft-edge/NativeMessagingHosts/tamberlo.host.json";
const std::string kFirefox = ".mozilla/native-messaging-hosts/tamberlo.host.json";
// What a browser keeps in its own folder once it has run; never the command's.
const std::string kBrowserData = "browser-data";

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs `program` with `args` and exactly the environment `env`.
Outcome runProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, const TempDir& scratch) {
  std::string out = scratch / "stdout", err = scratch / "stderr";
  pid_t child = fork();
  if (child == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<std::string> texts;
    for (const auto& [name, value] : env) texts.push_back(name + "=" + value);
    std::vector<char*> argv{const_cast<char*>(program.c_str())}, envp;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    for (std::string& text : texts) envp.push_back(text.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testing::readFile(out),
          testing::readFile(err)};
}

// Every file under `root`, relative, browsers' own data left out.
std::set<std::string> filesUnder(const std::string& root) {
  std::set<std::string> found;
  if (!fs::exists(root)) return found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_directory() && entry.path().filename() != kBrowserData) {
      found.insert(entry.path().lexically_relative(root).string());
    }
  }
  return found;
}

std::set<std::string> foldersUnder(const std::string& root) {
  std::set<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_directory()) found.insert(entry.path().lexically_relative(root).string());
  }
  return found;
}

boost::json::object manifestAt(const std::string& path) {
  return boost::json::parse(testing::readFile(path)).as_object();
}

Callers callersIn(const boost::json::object& manifest, const std::string& key) {
  Callers callers;
  for (const auto& caller : manifest.at(key).as_array()) callers.emplace_back(caller.as_string());
  return callers;
}

class RegisterLinuxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = tmp_ / "home";
    env_ = {{"HOME", home_}, {"PATH", "/usr/bin:/bin"}};
    makeHome();
  }

  // The browsers this user has: each one's own folder, with what the browser keeps there.
  void makeHome() {
    fs::remove_all(home_);
    for (const char* folder : {".config/chromium", ".config/google-chrome", ".mozilla"}) {
      fs::create_directories(home_ + "/" + folder);
      testing::writeFile(home_ + "/" + folder + "/" + kBrowserData, "");
    }
  }

  Outcome run(std::vector<std::string> args, bool withHost = true) {
    if (withHost) args.insert(args.begin(), {"--host", TAMBERLO_HOST});
    return runProgram(TAMBERLO_REGISTER, args, env_, scratch_);
  }

  TempDir tmp_, scratch_;
  std::string home_;
  std::map<std::string, std::string> env_;
};

TEST_F(RegisterLinuxTest, BadInputIsRefusedAndWritesNothing) {
  testing::writeFile(tmp_ / "plain-file", "#!/bin/sh\n");
  fs::create_directory(tmp_ / "a-folder");
  struct Case {
    std::string why;
    std::vector<std::string> args;
    std::string said;
  };
  const Case cases[] = {
      {"not an ID", {"--extension-id", "abcdefghijklmnop"}, "not a Chromium extension ID"},
      {"no caller at all", {}, "name at least one caller"},
      {"host missing", {"--host", tmp_ / "nothing-here"}, "does not exist"},
      {"host not executable", {"--host", tmp_ / "plain-file"}, "is not executable"},
      {"host is a folder", {"--host", tmp_ / "a-folder"}, "is not a file"},
      {"firefox into a chromium profile",
       {"--user-data-dir", tmp_ / "profile", "--firefox-id", kFirefoxId},
       "does not apply"},
      {"name leaving the folder", {"--name", "../evil"}, "not a host name"},
      {"no browser of the callers' kind", {"--browser", "firefox"}, "no browser named"},
      {"root without system", {"--root", tmp_.path()}, "--system only"},
      {"system folder unknown",
       {"--system", "--root", tmp_.path(), "--browser", "brave"},
       "no folder known for all users"},
      {"an unknown browser", {"--browser", "opera"}, "'opera' is not a browser"},
      {"an unknown argument", {"--unknown"}, "unknown argument '--unknown'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::vector<std::string> args = c.args;
    // A good caller first, so that each case fails for its own reason (the last --host wins).
    if (c.why != "no caller at all") args.insert(args.begin(), {"--extension-id", kId});
    Outcome result = run(args);
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("nothing written"), std::string::npos) << result.err;
    EXPECT_EQ(filesUnder(home_), std::set<std::string>{});
    EXPECT_FALSE(fs::exists(tmp_ / "profile"));
  }
  env_["HOME"] = "";
  Outcome noHome = run({"--extension-id", kId});
  EXPECT_EQ(noHome.status, 2);
  EXPECT_NE(noHome.err.find("HOME is not set"), std::string::npos) << noHome.err;
}

TEST_F(RegisterLinuxTest, AFolderThatCannotBeMadeIsReported) {
  fs::remove_all(home_ + "/.config");
  testing::writeFile(home_ + "/.config", "not a folder");
  Outcome result = run({"--browser", "chromium", "--extension-id", kId});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("cannot write " + home_ + "/" + kChromium), std::string::npos)
      << result.err;
  EXPECT_EQ(filesUnder(home_), std::set<std::string>{".config"});
}

TEST_F(RegisterLinuxTest, WritesOneManifestPerBrowserThenRemovesThem) {
  Outcome result =
      run({"--extension-id", kId, "--extension-id", kOtherId, "--firefox-id", kFirefoxId});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(filesUnder(home_), (std::set<std::string>{kChromium, kChrome, kFirefox}));
  for (const std::string& relative : {kChromium, kChrome}) {
    boost::json::object manifest = manifestAt(home_ + "/" + relative);
    EXPECT_EQ(manifest.at("name").as_string(), "tamberlo.host");
    EXPECT_EQ(manifest.at("type").as_string(), "stdio");
    EXPECT_EQ(manifest.at("path").as_string(), TAMBERLO_HOST);
    EXPECT_EQ(callersIn(manifest, "allowed_origins"), (Callers{kA, kB}));
    EXPECT_FALSE(manifest.contains("allowed_extensions"));
  }
  boost::json::object firefox = manifestAt(home_ + "/" + kFirefox);
  EXPECT_EQ(callersIn(firefox, "allowed_extensions"), Callers{kFirefoxId});
  EXPECT_FALSE(firefox.contains("allowed_origins"));
  struct stat status;
  ASSERT_EQ(stat((home_ + "/" + kFirefox).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u) << "browsers of other users read it too";

  EXPECT_EQ(run({"--remove"}, false).status, 0);
  EXPECT_EQ(filesUnder(home_), std::set<std::string>{});
  // Removing again is no failure: nothing is there to remove.
  EXPECT_EQ(run({"--remove"}, false).status, 0);
}

TEST_F(RegisterLinuxTest, RunsLeaveTheseManifests) {
  const std::string saver = ".config/chromium/NativeMessagingHosts/com.example.saver.json";
  const std::string brave =
      ".config/BraveSoftware/Brave-Browser/NativeMessagingHosts/tamberlo.host.json";
  const std::string librewolf = ".librewolf/native-messaging-hosts/tamberlo.host.json";
  using Args = std::vector<std::string>;
  const Args chromiumOnly = {"--browser", "chromium"};
  auto with = [](Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Case {
    std::string why;
    std::vector<Args> runs;
    std::map<std::string, Callers> left;  // the manifests left, with their callers
  };
  const Case cases[] = {
      {"chromium callers only", {{"--extension-id", kId}}, {{kChromium, {kA}}, {kChrome, {kA}}}},
      {"firefox callers only",
       {{"--firefox-id", kOtherFirefoxId}},
       {{kFirefox, {kOtherFirefoxId}}}},
      {"a second extension joins the first",
       {{"--extension-id", kId}, {"--extension-id", kOtherId}},
       {{kChromium, {kA, kB}}, {kChrome, {kA, kB}}}},
      {"a caller registered twice is listed once",
       {{"--extension-id", kId}, {"--extension-id", kId}},
       {{kChromium, {kA}}, {kChrome, {kA}}}},
      {"removing one caller keeps the other",
       {{"--extension-id", kId, "--extension-id", kOtherId}, {"--remove", "--extension-id", kId}},
       {{kChromium, {kB}}, {kChrome, {kB}}}},
      {"removing the last caller removes the manifest and its folder",
       {{"--extension-id", kId}, {"--remove", "--extension-id", kId}},
       {}},
      {"removing a caller that is not listed changes nothing",
       {{"--extension-id", kId}, {"--remove", "--extension-id", kOtherId}},
       {{kChromium, {kA}}, {kChrome, {kA}}}},
      {"add-on IDs come and go apart from extension IDs",
       {{"--extension-id", kId, "--firefox-id", kFirefoxId},
        {"--firefox-id", kOtherFirefoxId},
        {"--remove", "--firefox-id", kFirefoxId}},
       {{kChromium, {kA}}, {kChrome, {kA}}, {kFirefox, {kOtherFirefoxId}}}},
      {"callers are kept per browser",
       {{"--browser", "chrome", "--browser", "edge", "--browser", "chromium", "--extension-id",
         kOtherId},
        {"--browser", "edge", "--extension-id", kId},
        {"--remove", "--browser", "chrome", "--extension-id", kOtherId}},
       {{kEdge, {kB, kA}}, {kChromium, {kB}}}},
      {"a name of its own is a manifest of its own",
       {with(chromiumOnly, {"--extension-id", kId}),
        with(chromiumOnly, {"--name", "com.example.saver", "--extension-id", kOtherId})},
       {{kChromium, {kA}}, {saver, {kB}}}},
      {"removing one name leaves the others",
       {with(chromiumOnly, {"--extension-id", kId}),
        with(chromiumOnly, {"--name", "com.example.saver", "--extension-id", kOtherId}),
        {"--remove", "--name", "com.example.saver"}},
       {{kChromium, {kA}}}},
      {"a browser named gets a manifest though its folder is missing",
       {{"--browser", "brave", "--extension-id", kId},
        {"--browser", "librewolf", "--firefox-id", kFirefoxId}},
       {{brave, {kA}}, {librewolf, {kFirefoxId}}}},
      {"removal takes away the folders made for a browser named",
       {{"--browser", "brave", "--extension-id", kId},
        {"--browser", "librewolf", "--firefox-id", kFirefoxId},
        {"--remove"}},
       {}},
      {"removal by host takes every manifest naming it, whatever its name",
       {with(chromiumOnly, {"--extension-id", kId}),
        with(chromiumOnly, {"--name", "com.example.saver", "--extension-id", kOtherId}),
        {"--firefox-id", kFirefoxId},
        {"--remove", "--host", TAMBERLO_HOST}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    makeHome();
    for (const Args& args : c.runs) {
      Outcome result = run(args, args.front() != "--remove");
      ASSERT_EQ(result.status, 0) << result.err;
    }
    std::set<std::string> expected;
    std::set<std::string> wanted = {".config", ".config/chromium", ".config/google-chrome",
                                    ".mozilla"};
    for (const auto& [relative, callers] : c.left) {
      expected.insert(relative);
      boost::json::object manifest = manifestAt(home_ + "/" + relative);
      std::string key = relative.starts_with(".config") ? "allowed_origins" : "allowed_extensions";
      EXPECT_EQ(callersIn(manifest, key), callers) << relative;
      EXPECT_EQ(manifest.at("name").as_string(), fs::path(relative).stem().string());
      for (fs::path folder = fs::path(relative).parent_path(); !folder.empty();
           folder = folder.parent_path()) {
        wanted.insert(folder.string());
      }
    }
    EXPECT_EQ(filesUnder(home_), expected);
    // No folder for a browser that is absent, none left empty by a removal.
    EXPECT_EQ(foldersUnder(home_), wanted);
  }
}

TEST_F(RegisterLinuxTest, XdgConfigHomeMovesTheChromiumFolders) {
  std::string config = tmp_ / "config";
  for (const char* browser : {"chromium", "google-chrome"}) {
    fs::create_directories(config + "/" + browser);
    testing::writeFile(config + "/" + browser + "/" + kBrowserData, "");
  }
  env_["XDG_CONFIG_HOME"] = config;
  ASSERT_EQ(run({"--extension-id", kId}).status, 0);
  EXPECT_EQ(filesUnder(config),
            (std::set<std::string>{"chromium/NativeMessagingHosts/tamberlo.host.json",
                                   "google-chrome/NativeMessagingHosts/tamberlo.host.json"}));
  EXPECT_EQ(filesUnder(home_), std::set<std::string>{});
}

TEST_F(RegisterLinuxTest, UserDataDirGetsItsOwnManifestAndNothingElse) {
  std::string profile = tmp_ / "profile";
  std::string manifest = profile + "/NativeMessagingHosts/tamberlo.host.json";
  ASSERT_EQ(run({"--user-data-dir", profile, "--extension-id", kId}).status, 0);
  EXPECT_EQ(filesUnder(profile), std::set<std::string>{"NativeMessagingHosts/tamberlo.host.json"});
  EXPECT_EQ(filesUnder(home_), std::set<std::string>{});
  ASSERT_EQ(run({"--user-data-dir", profile, "--extension-id", kOtherId}).status, 0);
  EXPECT_EQ(callersIn(manifestAt(manifest), "allowed_origins"), (Callers{kA, kB}));
  ASSERT_EQ(run({"--user-data-dir", profile, "--remove", "--extension-id", kId}, false).status, 0);
  EXPECT_EQ(callersIn(manifestAt(manifest), "allowed_origins"), Callers{kB});
  ASSERT_EQ(run({"--user-data-dir", profile, "--remove"}, false).status, 0);
  EXPECT_FALSE(fs::exists(profile));
}

TEST_F(RegisterLinuxTest, DefaultHostIsTheOneBesideTheCommand) {
  std::string bin = tmp_ / "bin";
  fs::create_directory(bin);
  fs::copy_file(TAMBERLO_REGISTER, bin + "/tamberlo-register");
  Outcome missing = runProgram(bin + "/tamberlo-register", {"--extension-id", kId}, env_, scratch_);
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find(bin + "/tamberlo-host"), std::string::npos) << missing.err;
  fs::create_symlink(TAMBERLO_HOST, bin + "/tamberlo-host");
  Outcome found = runProgram(bin + "/tamberlo-register", {"--extension-id", kId}, env_, scratch_);
  ASSERT_EQ(found.status, 0) << found.err;
  EXPECT_EQ(manifestAt(home_ + "/" + kChromium).at("path").as_string(), bin + "/tamberlo-host");
}

TEST_F(RegisterLinuxTest, SystemWideManifestsUnderAStagingRoot) {
  std::string root = tmp_ / "root";
  fs::create_directories(root + "/usr/bin");
  fs::create_directories(root + "/etc/opt");  // empty on a fresh system, and to stay
  fs::create_symlink(TAMBERLO_HOST, root + "/usr/bin/tamberlo-host");
  std::vector<std::string> system = {"--system", "--root", root};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), system.begin(), system.end());
    return args;
  };
  Outcome result = run(
      with({"--host", "/usr/bin/tamberlo-host", "--extension-id", kId, "--firefox-id", kFirefoxId}),
      false);
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string firefox = "usr/lib/mozilla/native-messaging-hosts/tamberlo.host.json";
  const std::set<std::string> all = {"etc/chromium/native-messaging-hosts/tamberlo.host.json",
                                     "etc/opt/chrome/native-messaging-hosts/tamberlo.host.json",
                                     "etc/opt/edge/native-messaging-hosts/tamberlo.host.json",
                                     firefox, "usr/bin/tamberlo-host"};
  EXPECT_EQ(filesUnder(root), all);
  EXPECT_EQ(manifestAt(root + "/etc/opt/chrome/native-messaging-hosts/tamberlo.host.json")
                .at("path")
                .as_string(),
            "/usr/bin/tamberlo-host");
  EXPECT_EQ(filesUnder(home_), std::set<std::string>{});
  std::string listed = run(with({"--list"}), false).out;
  EXPECT_NE(listed.find("Edge (system): " + root +
                        "/etc/opt/edge/native-messaging-hosts/tamberlo.host.json\n"
                        "  host: /usr/bin/tamberlo-host (executable)\n  callers: " +
                        kA + "\n"),
            std::string::npos)
      << listed;
  run(with({"--remove", "--extension-id", kId}), false);
  EXPECT_EQ(filesUnder(root), (std::set<std::string>{"usr/bin/tamberlo-host", firefox}));
  run(with({"--remove"}), false);
  EXPECT_EQ(foldersUnder(root),
            (std::set<std::string>{"etc", "etc/opt", "usr", "usr/bin", "usr/lib"}));
}

TEST_F(RegisterLinuxTest, ListTellsWhereForWhomAndWhetherTheHostRuns) {
  std::string copy = tmp_ / "host-copy";
  struct Case {
    std::string why;
    void (*change)(const std::string&);
    std::string state;
  };
  const Case cases[] = {
      {"an executable host", [](const std::string&) {}, "executable"},
      {"a host that lost its execute bit",
       [](const std::string& path) { chmod(path.c_str(), 0644); }, "not executable"},
      {"a host that moved away", [](const std::string& path) { fs::remove(path); }, "missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    makeHome();
    fs::copy_file(TAMBERLO_HOST, copy, fs::copy_options::overwrite_existing);
    ASSERT_EQ(run({"--extension-id", kId, "--firefox-id", kFirefoxId, "--host", copy}).status, 0);
    c.change(copy);
    std::string listed = run({"--list"}, false).out;
    for (const auto& [title, relative, caller] :
         {std::tuple{"Chromium", kChromium, kA}, std::tuple{"Firefox", kFirefox, kFirefoxId}}) {
      EXPECT_NE(
          listed.find(std::string(title) + " (user): " + home_ + "/" + relative +
                      "\n  host: " + copy + " (" + c.state + ")\n  callers: " + caller + "\n"),
          std::string::npos)
          << listed;
    }
  }
  EXPECT_NE(run({"--list", "--name", "com.example.saver"}, false)
                .out.find("com.example.saver is registered nowhere"),
            std::string::npos);
  const std::pair<std::string, std::string> broken[] = {
      {"{", "not a manifest: "},
      {"{\"name\": \"other.host\"}",
       "not a manifest: its name is 'other.host', not 'tamberlo.host'"},
  };
  for (const auto& [text, said] : broken) {
    SCOPED_TRACE(text);
    testing::writeFile(home_ + "/" + kChromium, text);
    std::string listed = run({"--list"}, false).out;
    EXPECT_NE(listed.find("Chromium (user): " + home_ + "/" + kChromium + "\n  " + said),
              std::string::npos)
        << listed;
  }
}

TEST_F(RegisterLinuxTest, BothCommandsTellTheirVersion) {
  for (const auto& [program, name] : {std::pair{TAMBERLO_REGISTER, "tamberlo-register"},
                                      std::pair{TAMBERLO_HOST, "tamberlo-host"}}) {
    Outcome result = runProgram(program, {"--version"}, env_, scratch_);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, std::string(name) + " " + TAMBERLO_VERSION + "\n");
  }
}

// An attacker who can write into the manifests' folder plants links where the command writes,
// pointing at a file of root's; the command must never write through them.
TEST_F(RegisterLinuxTest, PlantedLinksAreNeverWrittenThrough) {
  std::string victim = tmp_ / "victim";
  testing::writeFile(victim, "root's own\n");
  chmod(victim.c_str(), 0600);
  std::string folder = home_ + "/.config/chromium/NativeMessagingHosts";
  std::string manifest = folder + "/tamberlo.host.json";
  struct Case {
    std::string why;
    std::vector<std::string> links;  // relative to the home, each pointing at the victim
    int status;
    std::string said;
  };
  const Case cases[] = {
      {"a link at the manifest's name", {kChromium}, 1, "symbolic link, which is never followed"},
      {"links at the temporary names a writer might use",
       {kChromium + ".tmp", ".config/chromium/NativeMessagingHosts/.tamberlo.host.json.tmp",
        ".config/chromium/NativeMessagingHosts/tamberlo.host.json~"},
       0,
       ""},
      {"a link in place of the manifests' folder",
       {".config/chromium/NativeMessagingHosts"},
       1,
       "NativeMessagingHosts is a symbolic link, which is never followed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    makeHome();
    for (const std::string& link : c.links) {
      fs::create_directories(fs::path(home_ + "/" + link).parent_path());
      fs::create_symlink(c.why.starts_with("a link in place") ? tmp_.path() : victim,
                         home_ + "/" + link);
    }
    Outcome result = run({"--browser", "chromium", "--extension-id", kId});
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
    EXPECT_EQ(testing::readFile(victim), "root's own\n");
    struct stat status;
    ASSERT_EQ(stat(victim.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_uid, 0u);
    if (c.status == 0) {
      // The manifest went where it belongs, a file of its own.
      ASSERT_EQ(lstat(manifest.c_str(), &status), 0);
      EXPECT_TRUE(S_ISREG(status.st_mode));
    }
    EXPECT_FALSE(fs::exists(tmp_ / "tamberlo.host.json"));
  }
}

}  // namespace
}  // namespace tamberlo
