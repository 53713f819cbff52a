#!/usr/bin/python3
"""Tests of generate_interfaces.py on a copy of the repository's tables: the drift check catches a
table edited without regenerating, and malformed tables are refused with the line that is wrong."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import generate_interfaces  # noqa: E402

REPO = os.path.dirname(os.path.dirname(HERE))
GENERATOR = os.path.join(HERE, "generate_interfaces.py")
TABLES = ["plugins/shared_preferences_foundation", "plugins/zevevidi_core", "plugins/pigeon/testdata"]

MINIMAL = """package p
form value
codec C
record R 129
  a string
api A host
  m(x R) -> void
"""


def run(root, *arguments):
    return subprocess.run(["/usr/bin/python3", GENERATOR, "--root", root, *arguments],
                          capture_output=True, text=True)


class GeneratorTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        for folder in TABLES:
            os.makedirs(os.path.join(self.root, folder))
            for name in ("channel_table.txt", "messages.h", "messages.cpp"):
                shutil.copy(os.path.join(REPO, folder, name), os.path.join(self.root, folder))

    def tearDown(self):
        shutil.rmtree(self.root)

    def edit(self, folder, old, new):
        path = os.path.join(self.root, folder, "channel_table.txt")
        with open(path, encoding="utf-8") as f:
            text = f.read()
        self.assertIn(old, text)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(old, new, 1))

    def test_committed_files_match_and_an_edit_without_regenerating_is_drift(self):
        self.assertEqual(run(self.root, "--check").returncode, 0)
        edits = [
            ("plugins/zevevidi_core", "  appGroupId string?\n", "  appGroupId string\n"),
            ("plugins/shared_preferences_foundation", "  remove(key string) -> void\n",
             "  remove(key string) -> bool\n"),
            ("plugins/pigeon/testdata", "light dark", "light dark dim"),
        ]
        for folder, old, new in edits:
            with self.subTest(folder=folder):
                self.edit(folder, old, new)
                result = run(self.root, "--check")
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(folder + "/messages", result.stdout)
                # Regenerating brings the tree back in line.
                self.assertEqual(run(self.root).returncode, 0)
                self.assertEqual(run(self.root, "--check").returncode, 0)

    def test_malformed_tables_are_refused_with_their_line(self):
        folder = os.path.join(self.root, "plugins", "bad")
        os.makedirs(folder)
        # (line of MINIMAL, what replaces it, what the refusal says)
        cases = [
            ("record R 129\n", "record R 130\n", "expected 129"),
            ("  a string\n", "  a strin\n", "unknown type 'strin'"),
            ("  m(x R) -> void\n", "  m(x void) -> void\n", "void is only a result"),
            ("  m(x R) -> void\n", "  m(args R) -> void\n", "a name the generated code uses"),
            ("  m(x R) -> void\n", "  constructor m(x R)\n", "belongs only in a proxy api"),
            ("  m(x R) -> void\n", "  m(x instance<R>) -> void\n",
             "proxy references belong only in proxy apis"),
            ("  m(x R) -> void\n", "  m(x R, x string) -> void\n", "argument 'x' is declared twice"),
            ("  m(x R) -> void\n", "  m(x R) => void\n", "a method is"),
            ("  m(x R) -> void\n", "  m(x string!) -> void\n", "'!' marks a bool"),
            ("  a string\n", "  a bool!\n", "'!' marks a bool"),
            ("form value\n", "form blocks\n", "cannot read"),
            ("codec C\n", "", "no 'codec' line"),
        ]
        for line, replacement, message in cases:
            with self.subTest(message=message):
                with open(os.path.join(folder, "channel_table.txt"), "w", encoding="utf-8") as f:
                    f.write(MINIMAL.replace(line, replacement))
                result = run(self.root)
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)
                self.assertIn("plugins/bad/channel_table.txt", result.stderr)
        with open(os.path.join(folder, "channel_table.txt"), "w", encoding="utf-8") as f:
            f.write(MINIMAL)
        self.assertEqual(run(self.root).returncode, 0)
        self.assertTrue(os.path.exists(os.path.join(folder, "messages.h")))


# Proxy apis in the shapes the web view bridge needs: a supertype, constructors, attached fields
# (instance and static), instance and static methods, callbacks toward the application and
# announcements with and without fields, referring to each other in any order.
PROXIES = """package webview_flutter_wkwebview
form value
codec C extensible
enum WebsiteDataType 129 cookies memoryCache

api NSObject proxy NSObject
  announce
  constructor pigeon_defaultConstructor()
  method addObserver(observer instance<NSObject>, keyPath string) -> void
  callback observeValue(keyPath string?, object instance<NSObject>?, change map?) -> void
api WKWebsiteDataStore proxy WKWebsiteDataStore extends NSObject
  announce
  static attached defaultDataStore instance<WKWebsiteDataStore>
  attached httpCookieStore instance<WKHTTPCookieStore>
  method removeDataOfTypes(dataTypes list<WebsiteDataType>, since double) -> bool async
api WKHTTPCookieStore proxy WKHTTPCookieStore extends NSObject
  announce
api URLRequest proxy URLRequestWrapper extends NSObject
  announce
  constructor pigeon_defaultConstructor(url string)
  method getUrl() -> string?
  static fromString(text string) -> instance<URLRequest>?
api WKFrameInfo proxy WKFrameInfo extends NSObject
  announce isMainFrame bool
  announce request instance<URLRequest>?
api WKNavigationDelegate proxy WKNavigationDelegate extends NSObject
  constructor pigeon_defaultConstructor()
  callback decidePolicy(frames list<instance<WKFrameInfo>>) -> WebsiteDataType
"""


class ProxyTableTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        self.folder = os.path.join(self.root, "plugins", "proxy")
        os.makedirs(self.folder)
        self.path = os.path.join(self.folder, "channel_table.txt")

    def tearDown(self):
        shutil.rmtree(self.root)

    def parse(self, text):
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(text)
        return generate_interfaces.parse_table(self.path)

    def test_every_proxy_kind_reads_into_its_channel_and_request_layout(self):
        table = self.parse(PROXIES)
        prefix = "dev.flutter.pigeon.webview_flutter_wkwebview."
        self.assertEqual(generate_interfaces.proxy_channels(table), [
            (prefix + "NSObject.pigeon_defaultConstructor", "host", ["new identifier"]),
            (prefix + "NSObject.addObserver", "host",
             ["instance", "observer instance<NSObject>", "keyPath string"]),
            (prefix + "NSObject.observeValue", "application",
             ["instance", "keyPath string?", "object instance<NSObject>?", "change map?"]),
            (prefix + "NSObject.pigeon_newInstance", "application", ["new identifier"]),
            (prefix + "WKWebsiteDataStore.defaultDataStore", "host", ["new identifier"]),
            (prefix + "WKWebsiteDataStore.httpCookieStore", "host",
             ["instance", "new identifier"]),
            (prefix + "WKWebsiteDataStore.removeDataOfTypes", "host",
             ["instance", "dataTypes list<WebsiteDataType>", "since double"]),
            (prefix + "WKWebsiteDataStore.pigeon_newInstance", "application", ["new identifier"]),
            (prefix + "WKHTTPCookieStore.pigeon_newInstance", "application", ["new identifier"]),
            (prefix + "URLRequest.pigeon_defaultConstructor", "host",
             ["new identifier", "url string"]),
            (prefix + "URLRequest.getUrl", "host", ["instance"]),
            (prefix + "URLRequest.fromString", "host", ["text string"]),
            (prefix + "URLRequest.pigeon_newInstance", "application", ["new identifier"]),
            (prefix + "WKFrameInfo.pigeon_newInstance", "application",
             ["new identifier", "isMainFrame bool", "request instance<URLRequest>?"]),
            (prefix + "WKNavigationDelegate.pigeon_defaultConstructor", "host", ["new identifier"]),
            (prefix + "WKNavigationDelegate.decidePolicy", "application",
             ["instance", "frames list<instance<WKFrameInfo>>"]),
        ])
        proxies = {p["name"]: p for p in table.proxies}
        self.assertEqual(proxies["URLRequest"]["native"], "URLRequestWrapper")
        self.assertEqual(proxies["WKFrameInfo"]["extends"], "NSObject")
        self.assertIsNone(proxies["NSObject"]["extends"])
        members = {m["name"]: m for m in proxies["WKWebsiteDataStore"]["members"]}
        self.assertTrue(members["removeDataOfTypes"]["async"])
        self.assertEqual(members["removeDataOfTypes"]["result"].text(), "bool")
        callback = proxies["WKNavigationDelegate"]["members"][1]
        self.assertEqual(callback["result"].text(), "WebsiteDataType")

    def test_a_table_with_proxy_apis_needs_its_registrar(self):
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(PROXIES)
        result = run(self.root)
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        self.assertIn("'registrar <C++ class> <header>'", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "messages.h")))

    def test_proxy_apis_generate_their_classes_handlers_and_senders(self):
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(PROXIES.replace("form value\n", "form value\nregistrar Registrar r.h\n"))
        result = run(self.root)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        with open(os.path.join(self.folder, "messages.h"), encoding="utf-8") as f:
            header = f.read()
        with open(os.path.join(self.folder, "messages.cpp"), encoding="utf-8") as f:
            source = f.read()
        table = generate_interfaces.parse_table(self.path)
        for proxy in table.proxies:
            self.assertIn("class PigeonApi%s {" % proxy["name"], header)
            self.assertIn("class PigeonApiDelegate%s {" % proxy["name"], header)
        # Every request the application sends is installed, every call toward it has a sender;
        # announcements go through the registrar, which names their channel.
        for channel, direction, _ in generate_interfaces.proxy_channels(table):
            api, method = channel.split(".")[-2:]
            if method == "pigeon_newInstance":
                self.assertIn("void PigeonApi%s::pigeonNewInstance(" % api, source)
            else:
                self.assertIn('pigeon::channelName("webview_flutter_wkwebview", "%s", "%s")'
                              % (api, method), source)
        # A receiver is checked against the classes of its api and of the apis extending it.
        self.assertIn('instanceArgument(args, 0, {"URLRequestWrapper"}, false)', source)
        self.assertIn('instanceArgument(args, 0, {}, false)', source)
        # Apis the application's code creates itself are never announced.
        self.assertNotIn("PigeonApiWKNavigationDelegate::pigeonNewInstance", source)
        self.assertIn('#include "r.h"', source)


    def test_malformed_proxy_apis_are_refused_with_their_line(self):
        # (line of PROXIES, what replaces it, what the refusal says)
        cases = [
            ("  announce isMainFrame bool\n", "  announce isMainFrame instance<Nowhere>\n",
             "instance<Nowhere> names no proxy api"),
            ("WKHTTPCookieStore extends NSObject\n", "WKHTTPCookieStore extends Nothing\n",
             "extends 'Nothing'"),
            ("api NSObject proxy NSObject\n", "api NSObject proxy NSObject extends URLRequest\n",
             "run in a circle"),
            ("  attached httpCookieStore instance<WKHTTPCookieStore>\n",
             "  attached httpCookieStore string\n", "non-null instance<Name>"),
            ("  method getUrl() -> string?\n", "  method pigeon_defaultConstructor() -> void\n",
             "declared twice"),
            ("  announce request instance<URLRequest>?\n", "  announce isMainFrame string\n",
             "announced field 'isMainFrame' is declared twice"),
            ("  callback decidePolicy(frames list<instance<WKFrameInfo>>) -> WebsiteDataType\n",
             "  callback decidePolicy() -> WebsiteDataType async\n", "no async"),
            ("  method getUrl() -> string?\n", "  getUrl() -> string?\n",
             "a proxy member starts with"),
            ("  constructor pigeon_defaultConstructor(url string)\n",
             "  constructor pigeon_defaultConstructor(url string) -> void\n",
             "a constructor is"),
            ("api URLRequest proxy URLRequestWrapper extends NSObject\n",
             "api URLRequest proxy URLRequestWrapper NSObject\n", "cannot read"),
            ("api WKHTTPCookieStore proxy", "api NSObject proxy", "api 'NSObject' is declared twice"),
        ]
        for line, replacement, message in cases:
            with self.subTest(message=message):
                self.assertIn(line, PROXIES)
                with self.assertRaises(generate_interfaces.TableError) as refusal:
                    self.parse(PROXIES.replace(line, replacement, 1))
                self.assertIn(message, str(refusal.exception))
                self.assertIn("plugins/proxy/channel_table.txt", str(refusal.exception))


class WebViewTableTest(unittest.TestCase):
    """The web view plugin's table against the per-api counts of its design: requests the
    application's code sends, and calls toward it (announcement included)."""

    COUNTS = {
        "PigeonInternalInstanceManager": (2, 0), "URLRequest": (8, 1), "HTTPURLResponse": (0, 1),
        "URLResponse": (0, 1), "WKUserScript": (1, 1), "WKNavigationAction": (0, 1),
        "WKNavigationResponse": (0, 1), "WKFrameInfo": (0, 1), "NSError": (0, 1),
        "WKScriptMessage": (0, 1), "WKSecurityOrigin": (0, 1), "HTTPCookie": (2, 1),
        "AuthenticationChallengeResponse": (2, 1), "WKWebsiteDataStore": (3, 1),
        "WKWebViewConfiguration": (11, 1), "WKUserContentController": (5, 1),
        "WKPreferences": (2, 1), "WKScriptMessageHandler": (1, 1),
        "WKNavigationDelegate": (1, 8), "NSObject": (3, 2), "NSViewWKWebView": (22, 1),
        "WKWebView": (0, 1), "WKUIDelegate": (1, 5), "WKHTTPCookieStore": (2, 1),
        "URLCredential": (3, 1), "URLProtectionSpace": (1, 1), "URLAuthenticationChallenge": (1, 1),
        "URL": (1, 1), "WKWebpagePreferences": (1, 1), "GetTrustResultResponse": (0, 1),
        "SecTrust": (5, 1), "SecCertificate": (1, 1),
    }

    def test_32_apis_and_122_channels_with_their_per_api_counts(self):
        table = generate_interfaces.parse_table(os.path.join(
            generate_interfaces.REPO, "plugins", "webview_flutter_wkwebview", "channel_table.txt"))
        counts = {}
        channels = set()
        for api, direction, methods in table.apis:
            counts[api] = (len(methods), 0) if direction == "host" else (0, len(methods))
            channels |= {"%s.%s" % (api, m["name"]) for m in methods}
        for channel, direction, _ in generate_interfaces.proxy_channels(table):
            api = channel.split(".")[-2]
            host, application = counts.get(api, (0, 0))
            counts[api] = (host + 1, application) if direction == "host" else \
                (host, application + 1)
            channels.add(channel)
        self.assertEqual(counts, self.COUNTS)
        self.assertEqual(len(counts), 32)
        self.assertEqual(len(channels), 122)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
