"""End-to-end tests of the real image under Wine: its CRYPT32, registry-backed
certificate stores and USER32 message boxes."""
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import winetest  # noqa: E402

HELPER = winetest.HELPER
CONTRACT = os.path.join(winetest.BUILD, "tests", "e2e", "crypt_contract.exe")

ATTENTION = "Внимание"
ERROR = "Ошибка"
CONSENT = ("Эта программа настраивает ваше рабочее место для работы с электронной подписью: "
           "устанавливает корневой и промежуточные сертификаты Минцифры России, промежуточные "
           "сертификаты ФНС и АО «Аналитический центр» в хранилище сертификатов "
           "локального компьютера.\nПродолжить?")
REFUSED = "Установка сертификатов отменена"
INSTALLED = "Сертификаты установлены успешно"
IDYES, IDNO, IDOK = 6, 7, 1

class WineTest(unittest.TestCase, winetest.StoresAssertions):
    def prefix(self):
        return winetest.prefix_for(self)

    def calls(self, calls, function):
        return [c for c in calls if c.function == function]

    def runInteractive(self, prefix, answers, args=(winetest.IMAGE,)):
        """Runs a program (the image) under the relay trace on the session's display; the
        helper reads and answers each box. Returns (status, boxes, calls, output)."""
        program = winetest.start(prefix, list(args), relay=True, display=True)
        helper_out = b""
        if answers:
            helper = winetest.start(prefix, [HELPER, "answer", *map(str, answers)], display=True)
            helper_out = helper.communicate(timeout=180)[0]
            os.unlink(helper.trace_path)
        status, out, calls, trace = winetest.finish(prefix, program, timeout=180, keep_trace=True)
        # What Wine said besides the relay trace, for a message when a run goes wrong.
        self.wine_said = "\n".join(line for line in trace.splitlines()
                                    if ":Call " not in line and ":Ret " not in line)[-2000:]
        boxes = [line.split("\t")[1:] for line in helper_out.decode("utf-8").splitlines()
                 if line.startswith("box\t")]
        shown = [(caption, text.replace("\\n", "\n").replace("\\\\", "\\"), buttons)
                 for caption, text, buttons in boxes]
        return status, shown, calls, out


class Silent(WineTest):
    def test_installs_the_twelve_into_their_stores(self):
        prefix = self.prefix()
        status, _, calls = winetest.run(prefix, [winetest.IMAGE, "-s"], relay=True)
        self.assertEqual(status, 1)
        self.assertEqual(self.calls(calls, "MessageBoxW"), [])
        self.assertRowsInstalled(prefix, range(1, 13))
        opens = self.calls(calls, "CertOpenStore")
        self.assertEqual(len(opens), 12)
        # The trace shows the store name as an address: the two literals, ROOT then CA.
        names = [c.args[4] for c in opens]
        self.assertEqual(names, [names[0]] * 3 + [names[3]] * 9)
        self.assertNotEqual(names[0], names[3])
        for call in opens:
            self.assertEqual(call.args[0], 10, "CertOpenStore: CERT_STORE_PROV_SYSTEM_W")
            self.assertEqual(call.dword(3), 0x24000, "CertOpenStore: local machine, open existing")
        adds = self.calls(calls, "CertAddCertificateContextToStore")
        self.assertEqual(len(adds), 12)
        self.assertTrue(all(c.dword(2) == 4 for c in adds), "CERT_STORE_ADD_ALWAYS")
        self.assertEqual(len(self.calls(calls, "CertCloseStore")), 12)
        self.assertEqual(len(self.calls(calls, "CertFreeCertificateContext")), 12)

    def test_second_run_keeps_all_twelve(self):
        prefix = self.prefix()
        self.assertEqual(winetest.run(prefix, [winetest.IMAGE, "-s"])[0], 1)
        status, _, calls, trace = winetest.run(prefix, [winetest.IMAGE, "-s"], relay=True, keep_trace=True)
        self.assertEqual(status, 1)
        # Seen once, in a fresh clone's first full run: no call at all. Wine's words, then.
        self.assertEqual(len(self.calls(calls, "CertAddCertificateContextToStore")), 12,
                         "a second run adds every certificate again; the trace ends:\n" + trace[-1500:])
        self.assertRowsInstalled(prefix, range(1, 13))


class Interactive(WineTest):
    def test_yes_installs_and_shows_two_boxes(self):
        prefix = self.prefix()
        status, boxes, calls, _ = self.runInteractive(prefix, [IDYES, IDOK])
        self.assertEqual(status, 1)
        self.assertEqual(boxes, [(ATTENTION, CONSENT, "Yes,No"), (ATTENTION, INSTALLED, "OK")])
        self.assertEqual(len(boxes[0][1]), 264, "the consent text, whole, from the box itself")
        shown = self.calls(calls, "MessageBoxW")
        self.assertEqual([(c.args[0], c.dword(3)) for c in shown], [(0, 0x24), (0, 0x40)],
                         "MessageBoxW: no owner; styles 0x24, then 0x40")
        self.assertEqual([c.strings[-1] for c in shown], [ATTENTION, ATTENTION])
        self.assertRowsInstalled(prefix, range(1, 13))

    def test_no_installs_nothing(self):
        prefix = self.prefix()
        status, boxes, calls, _ = self.runInteractive(prefix, [IDNO, IDOK])
        self.assertEqual(status, 1)
        self.assertEqual(boxes, [(ATTENTION, CONSENT, "Yes,No"), (ATTENTION, REFUSED, "OK")])
        self.assertEqual([c.dword(3) for c in self.calls(calls, "MessageBoxW")], [0x24, 0x40])
        self.assertEqual(self.calls(calls, "CertOpenStore"), [], "no store opened")
        self.assertEqual(self.calls(calls, "CertAddCertificateContextToStore"), [])
        self.assertRowsInstalled(prefix, ())


class CommandTail(WineTest):
    """The real start-up's tail, from exact command lines given to CreateProcessW."""

    def launch(self, prefix, line, answers=()):
        _, boxes, calls, out = self.runInteractive(
            prefix, answers, [HELPER, "launch", line.encode("utf-8").hex()])
        self.assertIn("exit 1", out, f"{line!r}: the image must exit with 1; Wine said:\n"
                      + self.wine_said)
        return calls, boxes

    def test_tails(self):
        prefix = self.prefix()
        folder = os.path.join(prefix, "drive_c", "ca-setup")
        os.makedirs(folder)
        shutil.copy(winetest.IMAGE, folder)
        quoted = '"C:\\ca-setup\\install-ca-certs.exe"'
        silent = [quoted + " \t  \t-s", quoted + " x-s", quoted + " --silent"]
        interactive = [quoted, quoted + " -S", quoted + " /s"]
        for line in silent:
            with self.subTest(line=line):
                calls, _ = self.launch(prefix, line)
                self.assertEqual(self.calls(calls, "MessageBoxW"), [], "silent: no box")
                self.assertEqual(len(self.calls(calls, "CertAddCertificateContextToStore")), 12)
        for line in interactive:
            with self.subTest(line=line):
                calls, boxes = self.launch(prefix, line, answers=[IDNO, IDOK])
                shown = self.calls(calls, "MessageBoxW")
                self.assertEqual([c.dword(3) for c in shown], [0x24, 0x40], "consent, then refused")
                self.assertEqual(len(boxes), 2, boxes)
                self.assertEqual(self.calls(calls, "CertOpenStore"), [])


class MissingStore(WineTest):
    """A computer without the local "CA" store: rows 1-3 land in "ROOT", row 4 fails
    to open its store, nothing after it is tried, and nothing creates the store."""

    def test_stops_at_row_4_and_creates_no_store(self):
        failure = "Ошибка установки сертификатов, код 0x00000002"  # ERROR_FILE_NOT_FOUND
        for mode in ("silent", "interactive"):
            with self.subTest(mode=mode):
                prefix = self.prefix()
                missing = rf"{winetest.STORES_KEY}\CA"
                winetest.reg(winetest.wine_env(prefix), "delete", "HKLM\\" + missing)
                if mode == "silent":
                    status, _, calls = winetest.run(prefix, [winetest.IMAGE, "-s"], relay=True)
                else:
                    status, boxes, calls, _ = self.runInteractive(prefix, [IDYES, IDOK])
                    self.assertEqual(boxes, [(ATTENTION, CONSENT, "Yes,No"), (ERROR, failure, "OK")])
                    shown = self.calls(calls, "MessageBoxW")[-1]
                    self.assertEqual((shown.strings, shown.dword(3)), ([failure, ERROR], 0x10),
                                     "MessageBoxW: the code as the platform left it, MB_ICONERROR")
                self.assertEqual(status, 1)
                self.assertRowsInstalled(prefix, range(1, 4))
                self.assertFalse(winetest.registry_has_key(prefix, missing),
                                 "CertOpenStore: an open-existing store must not be created")
                self.assertEqual([c.dword(3) for c in self.calls(calls, "CertOpenStore")],
                                 [0x24000] * 4, "three ROOT openings, then the failing CA one")
                self.assertEqual(len(self.calls(calls, "CertAddCertificateContextToStore")), 3)
                self.assertEqual(len(self.calls(calls, "CertCloseStore")), 3)
                self.assertEqual(len(self.calls(calls, "CertFreeCertificateContext")), 4,
                                 "row 4's decoded certificate is still freed")


class CryptContract(WineTest):
    def test_install_certificate_against_real_crypt32(self):
        prefix = self.prefix()
        status, out, _ = winetest.run(prefix, [CONTRACT])
        sys.stdout.write(out)
        self.assertEqual(status, 0, out)
        self.assertNotIn("NoSuchStoreForInstallCaCerts".lower(), winetest.hive_text(prefix, winetest.STORES_KEY).lower(),
                         "the missing store must not have been created")


if __name__ == "__main__":
    unittest.main()
