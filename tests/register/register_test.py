#!/usr/bin/env python3
"""tamberlo-register, run as a user runs it, in a temporary HOME.

Usage: register_test.py REGISTER_COMMAND HOST_PROGRAM VERSION
"""
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

REGISTER = HOST = VERSION = None
CHROMIUM_ID = "kdpkkgplnmfjaebhnbbaajgkjakjeefi"
OTHER_CHROMIUM_ID = "abcdefghijklmnopabcdefghijklmnop"
FIREFOX_ID = "host-test@tamberlo.example"
OTHER_FIREFOX_ID = "{8d3a5c7e-1f2b-4c3d-9e8f-0a1b2c3d4e5f}"
A, B = f"chrome-extension://{CHROMIUM_ID}/", f"chrome-extension://{OTHER_CHROMIUM_ID}/"
CHROMIUM_FILE = ".config/chromium/NativeMessagingHosts/tamberlo.host.json"
CHROME_FILE = ".config/google-chrome/NativeMessagingHosts/tamberlo.host.json"
FIREFOX_FILE = ".mozilla/native-messaging-hosts/tamberlo.host.json"


# What a browser keeps in its own folder once it has run; never the command's.
BROWSER_DATA = "browser-data"


def files_under(root):
    found = []
    for folder, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(folder, n), root) for n in names
                  if n != BROWSER_DATA]
    return sorted(found)


def folders_under(root):
    return sorted(os.path.relpath(folder, root) for folder, _, _ in os.walk(root)
                  if folder != root)


def with_parents(paths):
    return {os.path.join(*parts[:n]) for parts in (p.split("/") for p in paths)
            for n in range(1, len(parts) + 1)}


def empty_folders(root):
    return sorted(os.path.relpath(folder, root) for folder, subfolders, names in os.walk(root)
                  if not subfolders and not names and folder != root)


class RegisterTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tamberlo-register-")
        self.home = os.path.join(self.tmp.name, "home")
        os.mkdir(self.home)
        self.env = dict(os.environ, HOME=self.home)
        self.env.pop("XDG_CONFIG_HOME", None)
        # The browsers this user has: each one's own folder, with what the browser keeps there.
        self.browsers = [".config/chromium", ".config/google-chrome", ".mozilla"]
        self.make_home()

    def make_home(self):
        shutil.rmtree(self.home, ignore_errors=True)
        for folder in self.browsers:
            os.makedirs(os.path.join(self.home, folder))
            open(os.path.join(self.home, folder, BROWSER_DATA), "w").close()

    def tearDown(self):
        self.tmp.cleanup()

    def run_register(self, *args, env=None):
        return subprocess.run([REGISTER, *args], env=env or self.env, capture_output=True,
                              text=True, timeout=30)

    def manifest(self, relative):
        with open(os.path.join(self.home, relative), encoding="utf-8") as f:
            return json.load(f)

    def test_bad_input_is_refused_and_writes_nothing(self):
        not_executable = os.path.join(self.tmp.name, "plain-file")
        with open(not_executable, "w") as f:
            f.write("#!/bin/sh\n")
        folder = os.path.join(self.tmp.name, "a-folder")
        os.mkdir(folder)
        cases = [
            # (why, arguments, words the message must hold)
            ("too short", ["--extension-id", "abcdefghijklmnop"], "not a Chromium extension ID"),
            ("too long", ["--extension-id", CHROMIUM_ID + "a"], "not a Chromium extension ID"),
            ("letter past p", ["--extension-id", "q" * 32], "not a Chromium extension ID"),
            ("upper case", ["--extension-id", CHROMIUM_ID.upper()], "not a Chromium extension ID"),
            ("an origin, not an ID", ["--extension-id", f"chrome-extension://{CHROMIUM_ID}/"],
             "not a Chromium extension ID"),
            ("one bad among good ones", ["--extension-id", CHROMIUM_ID, "--extension-id", "x"],
             "not a Chromium extension ID"),
            ("firefox ID without @", ["--firefox-id", "tamberlo"], "not a Firefox add-on ID"),
            ("firefox GUID without braces",
             ["--firefox-id", "8d3a5c7e-1f2b-4c3d-9e8f-0a1b2c3d4e5f"], "not a Firefox add-on ID"),
            ("no caller at all", [], "name at least one caller"),
            ("host missing", ["--host", os.path.join(self.tmp.name, "nothing-here")],
             "does not exist"),
            ("host not executable", ["--host", not_executable], "is not executable"),
            ("host is a folder", ["--host", folder], "is not a file"),
            ("firefox into a chromium profile",
             ["--user-data-dir", os.path.join(self.tmp.name, "profile"), "--firefox-id",
              FIREFOX_ID], "does not apply"),
            ("name leaving the folder", ["--name", "../evil"], "not a host name"),
            ("name with upper case", ["--name", "Com.Example"], "not a host name"),
            ("name with an empty piece", ["--name", "com..example"], "not a host name"),
            ("no browser of the callers' kind", ["--browser", "firefox"], "no browser named"),
            ("root without system", ["--root", self.tmp.name], "--system only"),
            ("system folder unknown", ["--system", "--root", self.tmp.name, "--browser", "brave"],
             "no folder known for all users"),
        ]
        for why, args, expected in cases:
            with self.subTest(why):
                # A good host and caller first, so that each case fails for its own reason
                # (the last --host given wins).
                defaults = ["--host", HOST]
                if why != "no caller at all":
                    defaults += ["--extension-id", CHROMIUM_ID]
                result = self.run_register(*defaults, *args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(expected, result.stderr)
                self.assertIn("nothing written", result.stderr)
                self.assertEqual(files_under(self.home), [])
                self.assertFalse(os.path.exists(os.path.join(self.tmp.name, "profile")))

    def test_a_folder_that_cannot_be_made_is_reported(self):
        # A file where the browser's configuration folder belongs.
        shutil.rmtree(os.path.join(self.home, ".config"))
        with open(os.path.join(self.home, ".config"), "w") as f:
            f.write("not a folder")
        result = self.run_register("--browser", "chromium", "--extension-id", CHROMIUM_ID,
                                   "--host", HOST)
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot write", result.stderr)
        self.assertIn(".config/chromium/NativeMessagingHosts/tamberlo.host.json", result.stderr)
        self.assertEqual(files_under(self.home), [".config"])

    def test_no_home_is_refused(self):
        env = dict(self.env, HOME="")
        result = self.run_register("--extension-id", CHROMIUM_ID, "--host", HOST, env=env)
        self.assertEqual(result.returncode, 2)
        self.assertIn("HOME is not set", result.stderr)

    def test_writes_one_manifest_per_browser_then_removes_them(self):
        result = self.run_register("--extension-id", CHROMIUM_ID, "--extension-id",
                                   OTHER_CHROMIUM_ID, "--firefox-id", FIREFOX_ID,
                                   "--host", os.path.relpath(HOST))
        self.assertEqual(result.returncode, 0, result.stderr)
        chromium_file = ".config/chromium/NativeMessagingHosts/tamberlo.host.json"
        chrome_file = ".config/google-chrome/NativeMessagingHosts/tamberlo.host.json"
        firefox_file = ".mozilla/native-messaging-hosts/tamberlo.host.json"
        self.assertEqual(files_under(self.home), sorted([chromium_file, chrome_file, firefox_file]))
        for relative in (chromium_file, chrome_file):
            with self.subTest(relative):
                content = self.manifest(relative)
                self.assertEqual(content["name"], "tamberlo.host")
                self.assertEqual(content["type"], "stdio")
                self.assertEqual(content["path"], os.path.abspath(HOST))
                self.assertEqual(content["allowed_origins"],
                                 [f"chrome-extension://{CHROMIUM_ID}/",
                                  f"chrome-extension://{OTHER_CHROMIUM_ID}/"])
                self.assertNotIn("allowed_extensions", content)
        firefox = self.manifest(firefox_file)
        self.assertEqual(firefox["allowed_extensions"], [FIREFOX_ID])
        self.assertEqual(firefox["path"], os.path.abspath(HOST))
        self.assertNotIn("allowed_origins", firefox)
        mode = os.stat(os.path.join(self.home, firefox_file)).st_mode
        self.assertTrue(mode & stat.S_IROTH, "browsers of other users read it too")

        result = self.run_register("--remove")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(files_under(self.home), [])
        self.assertEqual(empty_folders(self.home), [])
        # Removing again is no failure: nothing is there to remove.
        self.assertEqual(self.run_register("--remove").returncode, 0)

    def test_only_the_browsers_named_get_a_manifest(self):
        cases = [
            ("chromium callers only", ["--extension-id", CHROMIUM_ID],
             [".config/chromium/NativeMessagingHosts/tamberlo.host.json",
              ".config/google-chrome/NativeMessagingHosts/tamberlo.host.json"]),
            ("firefox callers only", ["--firefox-id", "{8d3a5c7e-1f2b-4c3d-9e8f-0a1b2c3d4e5f}"],
             [".mozilla/native-messaging-hosts/tamberlo.host.json"]),
        ]
        for why, args, expected in cases:
            with self.subTest(why):
                self.assertEqual(self.run_register(*args, "--host", HOST).returncode, 0)
                self.assertEqual(files_under(self.home), expected)
                self.assertEqual(self.run_register("--remove").returncode, 0)

    def test_xdg_config_home_moves_the_chromium_folders(self):
        config = os.path.join(self.tmp.name, "config")
        for browser in ("chromium", "google-chrome"):
            os.makedirs(os.path.join(config, browser))
            open(os.path.join(config, browser, BROWSER_DATA), "w").close()
        env = dict(self.env, XDG_CONFIG_HOME=config)
        self.assertEqual(
            self.run_register("--extension-id", CHROMIUM_ID, "--host", HOST, env=env).returncode, 0)
        self.assertEqual(files_under(config),
                         ["chromium/NativeMessagingHosts/tamberlo.host.json",
                          "google-chrome/NativeMessagingHosts/tamberlo.host.json"])
        self.assertEqual(files_under(self.home), [])

    def test_user_data_dir_gets_its_own_manifest_and_nothing_else(self):
        profile = os.path.join(self.tmp.name, "profile")
        result = self.run_register("--user-data-dir", profile, "--extension-id", CHROMIUM_ID,
                                   "--host", HOST)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(files_under(profile), ["NativeMessagingHosts/tamberlo.host.json"])
        self.assertEqual(files_under(self.home), [])
        # A second run adds its caller; removing one caller keeps the other.
        self.run_register("--user-data-dir", profile, "--extension-id", OTHER_CHROMIUM_ID,
                          "--host", HOST)
        with open(os.path.join(profile, "NativeMessagingHosts/tamberlo.host.json")) as f:
            self.assertEqual(json.load(f)["allowed_origins"], [A, B])
        self.run_register("--user-data-dir", profile, "--remove", "--extension-id", CHROMIUM_ID)
        with open(os.path.join(profile, "NativeMessagingHosts/tamberlo.host.json")) as f:
            self.assertEqual(json.load(f)["allowed_origins"], [B])
        result = self.run_register("--user-data-dir", profile, "--remove")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(files_under(profile), [])
        self.assertEqual(empty_folders(self.tmp.name), [])

    def test_default_host_is_the_one_beside_the_command(self):
        bin_folder = os.path.join(self.tmp.name, "bin")
        os.mkdir(bin_folder)
        register = os.path.join(bin_folder, "tamberlo-register")
        with open(REGISTER) as source, open(register, "w") as copy:
            copy.write(source.read())
        os.chmod(register, 0o755)
        result = subprocess.run([register, "--extension-id", CHROMIUM_ID], env=self.env,
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 2)
        self.assertIn(os.path.join(bin_folder, "tamberlo-host"), result.stderr)
        os.symlink(os.path.abspath(HOST), os.path.join(bin_folder, "tamberlo-host"))
        result = subprocess.run([register, "--extension-id", CHROMIUM_ID], env=self.env,
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(
            self.manifest(".config/chromium/NativeMessagingHosts/tamberlo.host.json")["path"],
            os.path.join(bin_folder, "tamberlo-host"))

    def test_callers_add_up_and_leave_one_at_a_time(self):
        saver_file = ".config/chromium/NativeMessagingHosts/com.example.saver.json"
        brave_file = ".config/BraveSoftware/Brave-Browser/NativeMessagingHosts/tamberlo.host.json"
        librewolf_file = ".librewolf/native-messaging-hosts/tamberlo.host.json"
        chromium_only = ["--browser", "chromium"]
        cases = [
            # (why, runs in order, the manifests left with their callers)
            ("a second extension joins the first",
             [["--extension-id", CHROMIUM_ID], ["--extension-id", OTHER_CHROMIUM_ID]],
             {CHROMIUM_FILE: [A, B], CHROME_FILE: [A, B]}),
            ("a caller registered twice is listed once",
             [["--extension-id", CHROMIUM_ID], ["--extension-id", CHROMIUM_ID]],
             {CHROMIUM_FILE: [A], CHROME_FILE: [A]}),
            ("removing one caller keeps the other",
             [["--extension-id", CHROMIUM_ID, "--extension-id", OTHER_CHROMIUM_ID],
              ["--remove", "--extension-id", CHROMIUM_ID]],
             {CHROMIUM_FILE: [B], CHROME_FILE: [B]}),
            ("removing the last caller removes the manifest and its folder",
             [["--extension-id", CHROMIUM_ID], ["--remove", "--extension-id", CHROMIUM_ID]], {}),
            ("removing a caller that is not listed changes nothing",
             [["--extension-id", CHROMIUM_ID], ["--remove", "--extension-id", OTHER_CHROMIUM_ID]],
             {CHROMIUM_FILE: [A], CHROME_FILE: [A]}),
            ("add-on IDs come and go apart from extension IDs",
             [["--extension-id", CHROMIUM_ID, "--firefox-id", FIREFOX_ID],
              ["--firefox-id", OTHER_FIREFOX_ID], ["--remove", "--firefox-id", FIREFOX_ID]],
             {CHROMIUM_FILE: [A], CHROME_FILE: [A], FIREFOX_FILE: [OTHER_FIREFOX_ID]}),
            ("a name of its own is a manifest of its own",
             [chromium_only + ["--extension-id", CHROMIUM_ID],
              chromium_only + ["--name", "com.example.saver", "--extension-id", OTHER_CHROMIUM_ID]],
             {CHROMIUM_FILE: [A], saver_file: [B]}),
            ("removing one name leaves the others",
             [chromium_only + ["--extension-id", CHROMIUM_ID],
              chromium_only + ["--name", "com.example.saver", "--extension-id", OTHER_CHROMIUM_ID],
              ["--remove", "--name", "com.example.saver"]],
             {CHROMIUM_FILE: [A]}),
            ("a browser named gets a manifest though its folder is missing",
             [["--browser", "brave", "--extension-id", CHROMIUM_ID],
              ["--browser", "librewolf", "--firefox-id", FIREFOX_ID]],
             {brave_file: [A], librewolf_file: [FIREFOX_ID]}),
            ("removal takes away the folders made for a browser named",
             [["--browser", "brave", "--extension-id", CHROMIUM_ID],
              ["--browser", "librewolf", "--firefox-id", FIREFOX_ID], ["--remove"]], {}),
        ]
        for why, runs, expected in cases:
            with self.subTest(why):
                self.make_home()
                for args in runs:
                    result = self.run_register(*args, "--host", HOST)
                    self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(files_under(self.home), sorted(expected))
                for relative, callers in expected.items():
                    content = self.manifest(relative)
                    key = "allowed_origins" if relative.startswith(".config") \
                        else "allowed_extensions"
                    self.assertEqual(content[key], callers, relative)
                    self.assertEqual(content["name"], os.path.basename(relative)[:-5])
                # No folder for a browser that is absent, none left empty by a removal.
                wanted = with_parents(self.browsers + [os.path.dirname(f) for f in expected])
                self.assertEqual([f for f in folders_under(self.home) if f not in wanted], [])

    def test_system_wide_manifests_under_a_staging_root(self):
        root = os.path.join(self.tmp.name, "root")
        os.makedirs(os.path.join(root, "usr/bin"))
        os.makedirs(os.path.join(root, "etc/opt"))  # empty on a fresh system, and to stay
        os.symlink(os.path.abspath(HOST), os.path.join(root, "usr/bin/tamberlo-host"))
        system = ["--system", "--root", root]
        result = self.run_register(*system, "--host", "/usr/bin/tamberlo-host",
                                   "--extension-id", CHROMIUM_ID, "--firefox-id", FIREFOX_ID)
        self.assertEqual(result.returncode, 0, result.stderr)
        chromium_files = ["etc/chromium/native-messaging-hosts/tamberlo.host.json",
                          "etc/opt/chrome/native-messaging-hosts/tamberlo.host.json",
                          "etc/opt/edge/native-messaging-hosts/tamberlo.host.json"]
        firefox_file = "usr/lib/mozilla/native-messaging-hosts/tamberlo.host.json"
        self.assertEqual(files_under(root),
                         sorted(chromium_files + [firefox_file, "usr/bin/tamberlo-host"]))
        with open(os.path.join(root, chromium_files[1])) as f:
            self.assertEqual(json.load(f)["path"], "/usr/bin/tamberlo-host")
        self.assertEqual(files_under(self.home), [])
        listed = self.run_register("--list", *system).stdout
        self.assertIn(f"Edge (system): {root}/{chromium_files[2]}\n"
                      f"  host: /usr/bin/tamberlo-host (executable)\n  callers: {A}\n", listed)

        self.run_register("--remove", *system, "--extension-id", CHROMIUM_ID)
        self.assertEqual(files_under(root), ["usr/bin/tamberlo-host", firefox_file])
        self.run_register("--remove", *system)
        self.assertEqual(folders_under(root), ["etc", "etc/opt", "usr", "usr/bin", "usr/lib"])

    def test_list_tells_where_for_whom_and_whether_the_host_runs(self):
        copy = os.path.join(self.tmp.name, "host-copy")
        shutil.copy(HOST, copy)
        cases = [
            # (why, what is done to the host after registering, what the list says of it)
            ("an executable host", lambda: None, "executable"),
            ("a host that lost its execute bit", lambda: os.chmod(copy, 0o644), "not executable"),
            ("a host that moved away", lambda: os.remove(copy), "missing"),
        ]
        for why, change, state in cases:
            with self.subTest(why):
                self.make_home()
                shutil.copy(HOST, copy)
                self.run_register("--extension-id", CHROMIUM_ID, "--firefox-id", FIREFOX_ID,
                                  "--host", copy)
                change()
                listed = self.run_register("--list").stdout
                self.assertIn(f"Chromium (user): {self.home}/{CHROMIUM_FILE}\n"
                              f"  host: {copy} ({state})\n  callers: {A}\n", listed)
                self.assertIn(f"Firefox (user): {self.home}/{FIREFOX_FILE}\n"
                              f"  host: {copy} ({state})\n  callers: {FIREFOX_ID}\n", listed)
        listed = self.run_register("--list", "--name", "com.example.saver").stdout
        self.assertIn("com.example.saver is registered nowhere", listed)
        broken = [
            # (why, the manifest's text, what the list says of it)
            ("not JSON", "{", "not a manifest: Expecting property name"),
            ("another host's manifest", '{"name": "other.host"}',
             "not a manifest: its name is 'other.host', not 'tamberlo.host'"),
        ]
        for why, text, said in broken:
            with self.subTest(why):
                with open(os.path.join(self.home, CHROMIUM_FILE), "w") as f:
                    f.write(text)
                listed = self.run_register("--list").stdout
                self.assertIn(f"Chromium (user): {self.home}/{CHROMIUM_FILE}\n  {said}", listed)

    def test_both_commands_tell_their_version(self):
        for program, name in ((REGISTER, "tamberlo-register"), (HOST, "tamberlo-host")):
            with self.subTest(name):
                result = subprocess.run([program, "--version"], stdin=subprocess.DEVNULL,
                                        capture_output=True, text=True, timeout=30)
                self.assertEqual((result.returncode, result.stdout), (0, f"{name} {VERSION}\n"))


if __name__ == "__main__":
    REGISTER, HOST, VERSION = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
