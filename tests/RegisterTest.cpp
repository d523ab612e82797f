// The rules of tamberlo-register that need no OS: what the arguments say and which are refused,
// how callers add up and leave, and which places a run writes to.
#include <gtest/gtest.h>

#include <array>

#include "Install/RegisterRules.h"

namespace tamberlo::Install {
namespace {

const std::string kId = "kdpkkgplnmfjaebhnbbaajgkjakjeefi";
const std::string kOtherId = "abcdefghijklmnopabcdefghijklmnop";
const std::string kA = "chrome-extension://" + kId + "/";
const std::string kB = "chrome-extension://" + kOtherId + "/";
constexpr std::array<std::string_view, 3> kBrowsers = {"chrome", "edge", "firefox"};

Result<Parsed> parse(std::vector<std::string> args) {
  return parseArguments(args, kBrowsers, "usage\n", "9.9");
}

TEST(RegisterRulesTest, ArgumentsAreReadOrRefusedWithTheirReason) {
  struct Case {
    std::string why;
    std::vector<std::string> args;
    std::string refusal;  // empty when the arguments are taken
  };
  const Case cases[] = {
      {"an extension ID", {"--extension-id", kId}, ""},
      {"a value after =", {"--extension-id=" + kId}, ""},
      {"an add-on ID as a name", {"--firefox-id", "host-test@tamberlo.example"}, ""},
      {"an add-on ID as a GUID", {"--firefox-id", "{8d3a5c7e-1f2b-4c3d-9e8f-0a1b2c3d4e5f}"}, ""},
      {"a name of its own", {"--name", "com.example.saver"}, ""},
      {"too short", {"--extension-id", "abcdefghijklmnop"}, "not a Chromium extension ID"},
      {"too long", {"--extension-id", kId + "a"}, "not a Chromium extension ID"},
      {"letter past p", {"--extension-id", std::string(32, 'q')}, "not a Chromium extension ID"},
      {"upper case",
       {"--extension-id", "KDPKKGPLNMFJAEBHNBBAAJGKJAKJEEFI"},
       "not a Chromium extension ID"},
      {"an origin, not an ID", {"--extension-id", kA}, "not a Chromium extension ID"},
      {"one bad among good ones",
       {"--extension-id", kId, "--extension-id", "x"},
       "'x' is not a Chromium extension ID (expected 32 letters a-p)"},
      {"firefox ID without @", {"--firefox-id", "tamberlo"}, "not a Firefox add-on ID"},
      {"firefox GUID without braces",
       {"--firefox-id", "8d3a5c7e-1f2b-4c3d-9e8f-0a1b2c3d4e5f"},
       "not a Firefox add-on ID"},
      {"firefox ID with a space", {"--firefox-id", "no at sign"}, "not a Firefox add-on ID"},
      {"name leaving the folder", {"--name", "../evil"}, "not a host name"},
      {"name leaving the folder on Windows", {"--name", "..\\escape"}, "not a host name"},
      {"name with upper case", {"--name", "Com.Example"}, "not a host name"},
      {"name with an empty piece", {"--name", "com..example"}, "not a host name"},
      {"a browser not known here",
       {"--browser", "opera"},
       "'opera' is not a browser (chrome, edge or firefox)"},
      {"an unknown argument", {"--unknown"}, "unknown argument '--unknown'"},
      {"a value missing", {"--host"}, "--host needs a value"},
      {"remove and list at once", {"--remove", "--list"}, "--remove does not go with --list"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Result<Parsed> parsed = parse(c.args);
    if (c.refusal.empty()) {
      EXPECT_TRUE(parsed.ok()) << (parsed.ok() ? "" : parsed.error().description);
    } else {
      ASSERT_FALSE(parsed.ok());
      EXPECT_EQ(parsed.error().kind, ErrorKind::kInvalid);
      EXPECT_NE(parsed.error().description.find(c.refusal), std::string::npos)
          << parsed.error().description;
    }
  }
  Result<Parsed> version = parse({"--version"});
  ASSERT_TRUE(version.ok());
  EXPECT_EQ(version->shown, "tamberlo-register 9.9\n");
  Result<Parsed> browsers = parse({"--browser", "edge", "--browser=chrome", "--browser", "edge"});
  ASSERT_TRUE(browsers.ok());
  EXPECT_EQ(browsers->options.browsers, (std::vector<std::string>{"edge", "chrome"}));
}

TEST(RegisterRulesTest, OptionsThatDoNotGoTogether) {
  struct Case {
    std::string why;
    std::vector<std::string> args;
    std::string conflict;  // empty when they go together
  };
  const Case cases[] = {
      {"a profile", {"--user-data-dir", "p", "--extension-id", kId}, ""},
      {"a staging root", {"--system", "--root", "r"}, ""},
      {"firefox into a chromium profile",
       {"--user-data-dir", "p", "--firefox-id", "a@b"},
       "--firefox-id does not apply to a Chromium --user-data-dir"},
      {"a profile for all users",
       {"--user-data-dir", "p", "--system"},
       "--user-data-dir does not go with --system or --browser"},
      {"a profile and a browser",
       {"--user-data-dir", "p", "--browser", "edge"},
       "--user-data-dir does not go with --system or --browser"},
      {"root without system", {"--root", "r"}, "--root applies to --system only"},
      {"the root that is / anyway", {"--root", "/"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Result<Parsed> parsed = parse(c.args);
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(conflict(parsed->options).value_or(""), c.conflict);
  }
}

TEST(RegisterRulesTest, CallersAddUpAndLeaveOneAtATime) {
  using Callers = std::vector<std::string>;
  struct Case {
    std::string why;
    Callers listed, named;
    bool remove;
    std::optional<Callers> after;  // nothing: the manifest is left as it is
  };
  const Case cases[] = {
      {"a second extension joins the first", {kA}, {kB}, false, Callers{kA, kB}},
      {"a caller registered twice is listed once", {kA}, {kA}, false, Callers{kA}},
      {"the first caller", {}, {kA, kA}, false, Callers{kA}},
      {"removing one caller keeps the other", {kA, kB}, {kA}, true, Callers{kB}},
      {"removing the last caller leaves none", {kA}, {kA}, true, Callers{}},
      {"removing a caller that is not listed changes nothing", {kA}, {kB}, true, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.remove ? takeOutCallers(c.listed, c.named) : addCallers(c.listed, c.named),
              c.after);
  }
  Options options;
  options.extensionIds = {kId};
  options.firefoxIds = {"a@b"};
  EXPECT_EQ(callersNamed(options, BrowserKind::kChromium), Callers{kA});
  EXPECT_EQ(callersNamed(options, BrowserKind::kFirefox), Callers{"a@b"});
}

TEST(RegisterRulesTest, ManifestsListCallersUnderTheirKindsKey) {
  struct Case {
    BrowserKind kind;
    std::string key, otherKey;
  };
  const Case cases[] = {{BrowserKind::kChromium, "allowed_origins", "allowed_extensions"},
                        {BrowserKind::kFirefox, "allowed_extensions", "allowed_origins"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    std::string text = manifestText(makeManifest("tamberlo.host", c.kind, "/usr/bin/h", {kA}));
    std::optional<boost::json::object> read = parseManifest(text);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->at("name"), "tamberlo.host");
    EXPECT_EQ(read->at("path"), "/usr/bin/h");
    EXPECT_EQ(read->at("type"), "stdio");
    EXPECT_FALSE(read->contains(c.otherKey));
    EXPECT_EQ(callersOf(*read, c.kind), std::vector<std::string>{kA});
    EXPECT_TRUE(text.ends_with("}\n"));
  }
  EXPECT_FALSE(parseManifest("[1]"));
  EXPECT_FALSE(parseManifest("{"));
}

TEST(RegisterRulesTest, PlacesChosenForARun) {
  auto at = [](std::string title, BrowserKind kind, bool present, bool system = false) {
    Place place;
    place.title = std::move(title);
    place.kind = kind;
    place.present = present;
    place.system = system;
    place.ownFolder = "~/" + place.title;
    return place;
  };
  const std::vector<Place> all = {at("chromium", BrowserKind::kChromium, true),
                                  at("brave", BrowserKind::kChromium, false),
                                  at("firefox", BrowserKind::kFirefox, false),
                                  at("edge-system", BrowserKind::kChromium, false, true)};
  struct Case {
    std::string why;
    std::vector<std::string> args;
    std::vector<std::string> chosen;
    std::string refusal;
  };
  const Case cases[] = {
      {"only browsers that are there", {"--extension-id", kId}, {"chromium"}, ""},
      {"every browser named, there or not",
       {"--extension-id", kId, "--browser", "edge"},
       {"chromium", "brave", "edge-system"},
       ""},
      {"removal of one kind's callers", {"--remove", "--firefox-id", "a@b"}, {"firefox"}, ""},
      {"removal of everything", {"--remove"}, {"chromium", "brave", "firefox", "edge-system"}, ""},
      {"no caller at all", {}, {}, "name at least one caller"},
      {"no browser of the callers' kind",
       {"--firefox-id", "a@b", "--browser", "edge"},
       {},
       "no browser named takes these callers"},
      {"no browser there",
       {"--firefox-id", "a@b"},
       {},
       "no browser found (none of ~/firefox exists); name one with --browser"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Result<Parsed> parsed = parse(c.args);
    ASSERT_TRUE(parsed.ok());
    std::vector<Place> offered;
    for (const Place& place : all) {
      // What an OS offers for --browser: only the places of the browsers named.
      bool named = parsed->options.browsers.empty() || place.kind == BrowserKind::kChromium;
      if (named) offered.push_back(place);
    }
    Result<std::vector<Place>> chosen = choosePlaces(parsed->options, offered);
    if (!c.refusal.empty()) {
      ASSERT_FALSE(chosen.ok());
      EXPECT_NE(chosen.error().description.find(c.refusal), std::string::npos)
          << chosen.error().description;
      continue;
    }
    ASSERT_TRUE(chosen.ok()) << chosen.error().description;
    std::vector<std::string> titles;
    for (const Place& place : *chosen) titles.push_back(place.title);
    EXPECT_EQ(titles, c.chosen);
  }
}

TEST(RegisterRulesTest, AbsoluteHostPaths) {
  const std::pair<std::string, bool> cases[] = {{"/usr/bin/tamberlo-host", true},
                                                {"C:\\tamberlo\\host.exe", true},
                                                {"c:/tamberlo/host.exe", true},
                                                {"tamberlo-host", false},
                                                {"C:host.exe", false},
                                                {"", false}};
  for (const auto& [path, absolute] : cases) EXPECT_EQ(isAbsoluteHost(path), absolute) << path;
}

}  // namespace
}  // namespace tamberlo::Install
