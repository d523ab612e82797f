#!/usr/bin/env python3
"""tamberlo-register, run as a user runs it, in a temporary HOME.

Usage: register_test.py REGISTER_COMMAND HOST_PROGRAM
"""
import json
import os
import stat
import subprocess
import sys
import tempfile
import unittest

REGISTER = HOST = None
CHROMIUM_ID = "kdpkkgplnmfjaebhnbbaajgkjakjeefi"
OTHER_CHROMIUM_ID = "abcdefghijklmnopabcdefghijklmnop"
FIREFOX_ID = "host-test@tamberlo.example"


def files_under(root):
    found = []
    for folder, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(folder, n), root) for n in names]
    return sorted(found)


class RegisterTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tamberlo-register-")
        self.home = os.path.join(self.tmp.name, "home")
        os.mkdir(self.home)
        self.env = dict(os.environ, HOME=self.home)
        self.env.pop("XDG_CONFIG_HOME", None)

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
        with open(os.path.join(self.home, ".config"), "w") as f:
            f.write("not a folder")
        result = self.run_register("--extension-id", CHROMIUM_ID, "--host", HOST)
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
        # A second run replaces the manifest with the new callers.
        self.run_register("--user-data-dir", profile, "--extension-id", OTHER_CHROMIUM_ID,
                          "--host", HOST)
        with open(os.path.join(profile, "NativeMessagingHosts/tamberlo.host.json")) as f:
            self.assertEqual(json.load(f)["allowed_origins"],
                             [f"chrome-extension://{OTHER_CHROMIUM_ID}/"])
        self.assertEqual(files_under(profile), ["NativeMessagingHosts/tamberlo.host.json"])
        result = self.run_register("--user-data-dir", profile, "--remove")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(files_under(profile), [])

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


if __name__ == "__main__":
    REGISTER, HOST = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
