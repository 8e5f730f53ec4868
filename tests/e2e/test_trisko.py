"""trisko against a running Velkora in a network namespace (the control pipe's abstract socket
belongs to the namespace): adding, removing, listing, exporting and importing entries, the MAC
ranges, a user without write permission, and no server at all."""

import os
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

VELKORA = None


class Trisko(unittest.TestCase):
    LONGEST_NAME = "Building7-Floor3-Labs-A"  # a profile name of the most characters a record holds

    @classmethod
    def setUpClass(cls):
        cls.trisko = os.path.join(os.path.dirname(VELKORA), "trisko")
        lab = cls.lab = netns.Lab("tk")
        cls.srv = lab.namespace("s")
        cls.cli = lab.namespace("c")
        _, cls.cli_dev = lab.link(cls.srv, "10.85.0.1/24", cls.cli, "10.85.0.2/24", f"{lab.prefix}x")
        cls.tftp_root = os.path.join(lab.dir, "tftp") + "/"
        os.makedirs(cls.tftp_root)
        with open(cls.tftp_root + "boot.bin", "wb") as f:
            f.write(bytes(2000))
        registry = netns.write_config(lab.dir, {"Profile0": "Standard", "Profile1": "Other", "RemotePort": "5067",
                                                 "UpdateEthers": "2", "Profile2": cls.LONGEST_NAME, "TFTPEnable": 1,
                                                 "Profile3": "Lab #2", "TFTPMode": 0, "TFTPDirectory": cls.tftp_root})
        with open(os.path.join(lab.dir, "Dorvane.ini"), "a") as f:
            f.write("[Standard]\nInterfaceIP=10.85.0.1\nBaseIP=10.85.0.100\nRange=50\n")
            f.write("[Other]\nBaseIP=10.85.0.200\nRange=10\n")
        os.chmod(lab.dir, 0o755)
        cls.server = netns.start_velkora(lab, cls.srv, VELKORA, registry, "DHCP  Start   Server on 10.85.0.1")

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        cls.lab.close()

    def run_trisko(self, *args, ns=None, stdin=None, user=None):
        command = ["ip", "netns", "exec", ns or self.srv]
        if user:
            command += ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", "--"]
        given = {"input": stdin} if stdin is None or isinstance(stdin, str) else {"stdin": stdin}
        result = subprocess.run(command + [self.trisko, *args], **given, capture_output=True, text=True, timeout=30)
        code = result.returncode - 256 if result.returncode > 127 else result.returncode
        return code, result.stdout

    def pipe_request(self, data):
        """One request on the server's local socket, as any local administrator could send it."""
        program = ("import socket, sys; s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET); "
                   "s.connect(b'\\0tolmark_dhcp_server'); s.send(bytes.fromhex(sys.argv[1])); "
                   "sys.stdout.write(s.recv(4096).hex())")
        return bytes.fromhex(self.lab.ns_run(self.srv, sys.executable, "-c", program, data.hex()).stdout)

    def static_lines(self):
        code, out = self.run_trisko("print")
        self.assertEqual(code, 1)
        lines = out.splitlines()
        self.assertEqual(lines[0], "%-32s %-16.16s %s" % ("MAC/ID", "IP-Address", "Profile"))
        self.assertEqual(lines[1], "=" * 73)
        return lines[2:]

    def test_1_add_and_remove(self):
        self.assertEqual(self.run_trisko("add", "00:11:22:33:44:01", "10.85.0.10"), (1, ""))
        self.assertEqual(self.run_trisko("add", "00:11:22:33:44:01", "10.85.0.10"), (0, "operation failed\n"))
        self.assertEqual(self.run_trisko("ADD", "00-11-22-33-44-01", "10.85.0.11", "Other"), (1, ""))
        lines = self.static_lines()
        self.assertIn("%-32s %-16.16s %s" % ("00-11-22-33-44-01", "10.85.0.10", "Standard"), lines)
        self.assertIn("%-32s %-16.16s %s" % ("00-11-22-33-44-01", "10.85.0.11", "Other"), lines)
        # Without a profile only the entry of "Standard" goes.
        self.assertEqual(self.run_trisko("remove", "00:11:22:33:44:01"), (1, ""))
        self.assertEqual(self.run_trisko("remove", "00:11:22:33:44:01"), (0, "not found\n"))
        self.assertEqual(self.run_trisko("remove", "00:11:22:33:44:01", "Other"), (1, ""))
        self.assertEqual(self.static_lines(), [])
        empty_profile = 'a profile name cannot be empty (leave it out for "Standard")'
        # A mistyped identity or address adds nothing and says which word was wrong (an address
        # that did not parse was taken for a host name, and an entry without address was added).
        for words, message in ((("not-an-id", "10.85.0.12"), "not-an-id: not a MAC address or client identifier"),
                               (("00:11:22:33:44:0d", "10.85.0.300"), "10.85.0.300: not an IPv4 address"),
                               (("00:11:22:33:44:0d", "10.85.0.12x", "Other"), "10.85.0.12x: not an IPv4 address"),
                               (("00:11:22:33:44:0d", "printer"), "printer: not an IPv4 address"),
                               (("00:11:22:33:44:0d", "10.85.12"), "10.85.12: not an IPv4 address"),
                               (("00:11:22:33:44:0d", "256.85.0.12"), "256.85.0.12: not an IPv4 address"),
                               (("00:11:22:33:44:0d", "-1"), "-1: not an IPv4 address"),
                               (("00:11:22:33:44:0d", " 10.85.0.12"), " 10.85.0.12: not an IPv4 address"),
                               (("00:11:22:33:44:0d", "10.85.-0.12"), "10.85.-0.12: not an IPv4 address"),
                               (("00:11:22:33:44:0d", "10.85.0.12", ""), empty_profile),
                               (("remove", "00:11:22:33:44:0d", ""), empty_profile),
                               (("remove", "zz:11"), "zz:11: not a MAC address or client identifier"),
                               # Cut to the 23 characters a record holds, it named another profile.
                               (("00:11:22:33:44:0d", "10.85.0.12", self.LONGEST_NAME + "B"),
                                self.LONGEST_NAME + "B: a profile name has at most 23 characters"),
                               (("remove", "00:11:22:33:44:0d", self.LONGEST_NAME + "B"),
                                self.LONGEST_NAME + "B: a profile name has at most 23 characters")):
            command = words if words[0] == "remove" else ("add",) + words
            self.assertEqual(self.run_trisko(*command), (-1, message + "\n"), words)
        self.assertEqual(self.static_lines(), [])
        # A hardware address of another length than six bytes, as the client files hold it.
        self.assertEqual(self.run_trisko("add", "00:0c:29:aa:bb:cc:dd:ee", "10.85.0.13"), (1, ""))
        self.assertEqual(self.static_lines(), ["%-32s %-16.16s %s" % ("00-0c-29-aa-bb-cc-dd-ee", "10.85.0.13",
                                                                      "Standard")])
        self.assertEqual(self.run_trisko("import", stdin="00-0c-29-aa-bb-cc-dd-ee\t10.85.0.13\tStandard\n"), (1, ""))
        self.assertEqual(self.run_trisko("remove", "00-0c-29-aa-bb-cc-dd-ee"), (1, ""))
        self.assertEqual(self.static_lines(), [])

    def test_2_export_then_import_changes_nothing(self):
        for i, ip in ((2, "10.85.0.20"), (3, "10.85.0.21")):
            self.assertEqual(self.run_trisko("add", f"00:11:22:33:44:0{i}", ip)[0], 1)
        code, exported = self.run_trisko("export")
        self.assertEqual(code, 1)
        self.assertEqual(exported, "00-11-22-33-44-02\t10.85.0.20\tStandard\n00-11-22-33-44-03\t10.85.0.21\tStandard\n")
        before = self.static_lines()
        # As an editor may save it: with the UTF-8 byte order mark first.
        self.assertEqual(self.run_trisko("import", stdin="\ufeff" + exported), (1, ""))
        # A comment line, as the server's own files may begin, and an empty line hold no entry.
        self.assertEqual(self.run_trisko("import", stdin="# lab 3\n" + exported + "\n" + exported), (1, ""))
        self.assertEqual(self.static_lines(), before)
        self.assertEqual(self.run_trisko("export")[1], exported)
        self.assertEqual(self.run_trisko("import", stdin="garbage line\n"),
                         (-1, "line 1: not a client entry: garbage line\n"))
        # Fields separated by a blank: the address was lost, and the entry added without it.
        self.assertEqual(self.run_trisko("import", stdin="00:11:22:33:44:0c 10.85.0.22\n"),
                         (-1, "line 1: fields must be separated by tabs: 00:11:22:33:44:0c 10.85.0.22\n"))
        self.assertEqual(self.run_trisko("add", "00:11:22:33:44:0c 10.85.0.22", "10.85.0.23"),
                         (-1, "00:11:22:33:44:0c 10.85.0.22: not a MAC address or client identifier\n"))
        # Read as the parser reads them, these would be another client, an entry without its
        # address in "Standard", or an entry of the profile whose name is the first 23 characters.
        self.assertEqual(self.run_trisko("add", "00:11:22:33:44:0c0d", "10.85.0.23"),
                         (-1, "00:11:22:33:44:0c0d: a MAC address is six numbers of one or two hexadecimal digits\n"))
        self.assertEqual(self.run_trisko("add", '"pc #7', "10.85.0.23"),
                         (-1, '"pc #7: a blank before \'#\' in a quoted identifier would start a remark\n'))
        self.assertEqual(self.run_trisko("add", "00:11:22:33:44:0c", "10.85.0.23", "Other #note"),
                         (-1, "Other #note: a profile name holds no tab or other control character, nor a blank "
                              "before '#'\n"))
        self.assertEqual(self.run_trisko("import", stdin="00:11:22:33:44:0c\t10.85.0.300\tOther\n"),
                         (-1, "line 1: 10.85.0.300: not an IPv4 address\n"))
        name = self.LONGEST_NAME + "B"
        self.assertEqual(self.run_trisko("import", stdin=f"00:11:22:33:44:0c\t10.85.0.22\t{name}\n"),
                         (-1, f"line 1: {name}: a profile name has at most 23 characters\n"))
        self.assertEqual(self.run_trisko("export")[1], exported)
        self.assertEqual(self.run_trisko("remove_all"), (1, ""))
        self.assertEqual(self.static_lines(), [])
        # The pipe takes a remark of any bytes. A line break in it must not split the export
        # into a second line that import would take for an entry nobody made.
        record = bytearray(328)
        record[8:12] = bytes([10, 85, 0, 15])
        record[33:40] = bytes([6, 0, 0x11, 0x22, 0x33, 0x44, 0x0f])
        record[98:106] = b"Standard"
        remark = b"x\n00:11:22:33:44:99\t10.85.0.99"
        record[281:281 + len(remark)] = remark
        self.assertEqual(self.pipe_request(struct.pack("<Ii", 4, 0) + bytes(record)), struct.pack("<Ii", 0, 1))
        code, exported = self.run_trisko("export")
        self.assertEqual((code, exported), (1, "00-11-22-33-44-0f\t10.85.0.15\tStandard\t#x?00:11:22:33:44:99?10.85.0.99\n"))
        self.assertEqual(self.run_trisko("import", stdin=exported), (1, ""))
        self.assertEqual(len(self.static_lines()), 1)
        # A remark longer than an entry holds is cut, and the import says so.
        self.assertEqual(self.run_trisko("import", stdin="00-11-22-33-44-0f\t10.85.0.15\tStandard\t#" + "r" * 40 + "\n"),
                         (1, "line 1: remark cut to its first 31 of 40 characters\n"))
        kept = "00-11-22-33-44-0f\t10.85.0.15\tStandard\t#" + "r" * 31 + "\n"
        self.assertEqual(self.run_trisko("export")[1], kept)
        # A profile name with a blank before '#' (the configuration takes any name) has no form in
        # an entry line: read back, the rest would be a remark and the entry another profile's.
        # Export leaves the entry out and says so last, on a line that import stops at.
        record = bytearray(328)
        record[8:12] = bytes([10, 85, 0, 16])
        record[33:40] = bytes([6, 0, 0x11, 0x22, 0x33, 0x44, 0x10])
        record[98:104] = b"Lab #2"
        self.assertEqual(self.pipe_request(struct.pack("<Ii", 4, 0) + bytes(record)), struct.pack("<Ii", 0, 1))
        left_out = 'not exported: 00-11-22-33-44-10 in profile "Lab #2": an entry line cannot hold this profile name\n'
        self.assertEqual(self.run_trisko("export"), (0, kept + left_out))
        self.assertEqual(self.run_trisko("import", stdin=kept + left_out),
                         (-1, "line 2: not a client entry: " + left_out))
        # As an older export wrote it: the "#2" read as a remark, the entry is refused in profile "Lab".
        self.assertEqual(self.run_trisko("import", stdin="00-11-22-33-44-10\t10.85.0.16\tLab #2\n"),
                         (0, "00-11-22-33-44-10 add failed\n"))
        self.assertIn("%-32s %-16.16s %s" % ("00-11-22-33-44-10", "10.85.0.16", "Lab #2"), self.static_lines())
        self.assertEqual(len(self.static_lines()), 2)
        self.assertEqual(self.run_trisko("remove_all"), (1, ""))

    def test_3_dynamic_and_ignored_lists(self):
        probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dhcp_probe.py")
        self.lab.ns_run(self.cli, sys.executable, probe, "--device", self.cli_dev, "--hw", "02:00:00:00:00:51")
        code, out = self.run_trisko("print", "dynamic")
        self.assertEqual(code, 1)
        self.assertIn("02-00-00-00-00-51", out)
        # An offered address has no lease yet: it counts as expired and becomes a free slot.
        self.assertEqual(self.run_trisko("remove_expired"), (1, ""))
        self.assertNotIn("02-00-00-00-00-51", self.run_trisko("print", "dynamic")[1])
        # A free slot is no entry: export leaves it out, so that its output stays entry lines.
        self.assertEqual(self.run_trisko("export", "dynamic"), (1, ""))
        # Nor is the address a static entry holds in the pool: fed to import, its line made a
        # static entry for the hardware address 00-00-00-00-00-00.
        self.assertEqual(self.run_trisko("add", "00:11:22:33:44:52", "10.85.0.120"), (1, ""))
        self.assertIn("00-00-00-00-00-00        ", self.run_trisko("print", "dynamic")[1])
        self.assertEqual(self.run_trisko("export", "dynamic"), (1, ""))
        self.assertEqual(self.run_trisko("remove", "00:11:22:33:44:52"), (1, ""))
        code, out = self.run_trisko("print", "ignored")
        self.assertEqual(code, 1)
        self.assertEqual(out.splitlines()[1], "=" * 73)
        self.assertEqual(self.run_trisko("print", "anything")[1].splitlines()[:2], out.splitlines()[:2])

    def test_4_mac_ranges(self):
        self.assertEqual(self.run_trisko("macrange", "00:11:22,00-aa-bb"), (1, ""))
        self.assertEqual(self.run_trisko("macrange"), (1, "0:11:22,0:aa:bb\n"))
        self.assertEqual(self.run_trisko("macrange", "none"), (1, ""))
        self.assertEqual(self.run_trisko("macrange"), (1, "\n"))
        # A typo changes nothing: the text's own reader would have made other ranges of it.
        self.assertEqual(self.run_trisko("macrange", "00:11:22"), (1, ""))
        for typo in ("00:1g:22", "00:11:22,", "00::11", "001:22", "0:1:2:3:4:5:6", ",".join(["0:1:2:3:4:5"] * 5)):
            code, out = self.run_trisko("macrange", typo)
            self.assertEqual(code, -1, typo)
            self.assertIn("not a list of MAC address prefixes", out)
        self.assertEqual(self.run_trisko("macrange"), (1, "0:11:22\n"))
        self.assertEqual(self.run_trisko("macrange", "none"), (1, ""))

    def test_5_usage_and_no_server(self):
        code, out = self.run_trisko()
        self.assertEqual(code, 0)
        self.assertTrue(out.startswith("Usage:\n  trisko [server] add    <mac/id> <ip-address> [<profile>]\n"))
        self.assertIn("  trisko [server] export [dynamic]\n  trisko [server] import < file\n", out)
        self.assertEqual(self.run_trisko("add", "00:11:22:33:44:09")[0], 0)  # too few arguments
        self.assertEqual(self.run_trisko("print", ns=self.cli), (0, "Service not active\n"))
        self.assertEqual(self.run_trisko(ns=self.cli), (0, "Service not active\n"))
        # A word that is no command, and no command after it, gets the usage without trying a
        # server named by that word.
        for words in (("--help",), ("-h",), ("prnit", "dynamic")):
            code, out = self.run_trisko(*words, ns=self.cli)
            self.assertEqual(code, 0, words)
            self.assertTrue(out.startswith("Usage:\n"), (words, out))
        # A word more than a command takes is refused before anything is sent: ignored, it
        # emptied the static list, put an entry into another profile or set one range of two.
        self.assertEqual(self.run_trisko("add", "00:11:22:33:44:09", "10.85.0.19"), (1, ""))
        for words in (("remove_all", "00:11:22:33:44:09"), ("remove_expired", "now"), ("import", "entries.txt"),
                      ("add", "00:11:22:33:44:0e", "10.85.0.18", "My", "Lab"), ("stats", "1"),
                      ("remove", "00:11:22:33:44:09", "Standard", "x"), ("macrange", "00:11:22,", "00:aa:bb"),
                      ("print", "dynamic", "x")):
            self.assertEqual(self.run_trisko(*words),
                             (0, f'trisko: {words[0]} does not take the argument "{words[-1]}"; nothing was done\n'))
        self.assertIn("%-32s %-16.16s %s" % ("00-11-22-33-44-09", "10.85.0.19", "Standard"), self.static_lines())
        # An export that never reached its file (a full disk) or a closed output is no success.
        with open("/dev/full", "w") as full:
            result = subprocess.run(["ip", "netns", "exec", self.srv, self.trisko, "export"], stdout=full,
                                    stderr=subprocess.PIPE, text=True, timeout=30)
        self.assertEqual((result.returncode, result.stderr),
                         (0, "trisko: the output could not be written: No space left on device\n"))
        self.assertEqual(self.run_trisko("macrange"), (1, "\n"))
        self.assertEqual(self.run_trisko("remove", "00:11:22:33:44:09"), (1, ""))

    def test_5b_transfers_show_a_client_error_text_on_its_own_line(self):
        # The error text comes from the network: a line break in it must not forge a line of
        # the list, nor an escape sequence reach the terminal.
        probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tftp_probe.py")
        forged = "x\nGet/octet 10.85.0.9 1 1 done /forged\x1b[2J"
        self.lab.ns_run(self.cli, sys.executable, probe, "abort", "10.85.0.1", "69", "boot.bin", "1", forged)
        code, out = self.run_trisko("transfers")
        self.assertEqual(code, 1, out)
        self.assertEqual(len(out.splitlines()), 1, out)
        self.assertTrue(out.startswith("Get/octet 10.85.0.2 "), out)
        self.assertTrue(out.endswith(f" 2000 aborted 1 x?Get/octet 10.85.0.9 1 1 done /forged?[2J "
                                     f"{self.tftp_root}boot.bin\n"), out)

    @unittest.skipIf(shutil.which("setpriv") is None, "setpriv is missing")
    def test_6_a_user_without_write_permission_can_only_read(self):
        self.assertEqual(self.run_trisko("add", "00:11:22:33:44:07", "10.85.0.40"), (1, ""))
        code, out = self.run_trisko("add", "00:11:22:33:44:08", "10.85.0.41", user="65534")
        self.assertEqual((code, out), (0, "operation failed\n"))
        code, out = self.run_trisko("print", user="65534")
        self.assertEqual(code, 1)
        self.assertIn("00-11-22-33-44-07", out)
        self.assertNotIn("00-11-22-33-44-08", out)
        self.assertEqual(self.run_trisko("remove", "00:11:22:33:44:07", user="65534"), (0, "operation failed\n"))
        self.assertEqual(self.run_trisko("macrange", "00:11:22", user="65534"), (0, "operation failed\n"))
        # Refused requests of a walk or an import: every one is reported, and the run failed.
        code, out = self.run_trisko("remove_all", user="65534")
        self.assertEqual(code, 0)
        self.assertTrue(out and set(out.splitlines()) == {"operation failed"}, out)
        code, out = self.run_trisko("import", user="65534", stdin="00:11:22:33:44:09\t10.85.0.42\n")
        self.assertEqual((code, out), (0, "00-11-22-33-44-09 add failed\n"))
        self.assertEqual(self.run_trisko("remove", "00:11:22:33:44:07"), (1, ""))

    def test_7_a_remote_server_by_name_reads_but_never_writes(self):
        self.assertEqual(self.run_trisko("add", "00:11:22:33:44:0a", "10.85.0.50"), (1, ""))
        code, out = self.run_trisko("10.85.0.1", "print", ns=self.cli)
        self.assertEqual(code, 1)
        self.assertIn("00-11-22-33-44-0a", out)
        self.assertEqual(self.run_trisko("\\\\10.85.0.1", "export", ns=self.cli)[1],
                         "00-11-22-33-44-0a\t10.85.0.50\tStandard\n")
        # Nobody on the network can be identified, so nobody there may change anything.
        self.assertEqual(self.run_trisko("10.85.0.1", "remove", "00:11:22:33:44:0a", ns=self.cli),
                         (0, "operation failed\n"))
        self.assertEqual(self.run_trisko("10.85.0.1", ns=self.cli)[0], 0)  # a host name alone: usage
        self.assertEqual(self.run_trisko("10.85.0.1:5067", "print", ns=self.cli)[0], 1)
        # A port out of range or mistyped is refused, not replaced by the default one, where
        # another server may answer.
        for name in ("10.85.0.1:99999", "10.85.0.1:50a67", "10.85.0.1:"):
            self.assertEqual(self.run_trisko(name, "print", ns=self.cli), (0, f"{name}: not a port number\n"))
        # An address is four decimal numbers, as everywhere here: the resolver read "010.85.0.1"
        # as 8.85.0.1, "10.85.1" as 10.85.0.1 and one number as a whole address.
        self.assertEqual(self.run_trisko("010.085.000.001", "print", ns=self.cli)[0], 1)
        # An empty name (an unset variable) or one of slashes only names no host, not the local one.
        for name, shown in (("", '""'), ("\\\\", "\\\\"), ("//", "//")):
            self.assertEqual(self.run_trisko(name, "print"), (0, f"{shown}: not a server name\n"))
        for name in ("10.85.1", "256.85.0.1", "173342721", "0x0a.85.0.1"):
            self.assertEqual(self.run_trisko(name, "print", ns=self.cli), (0, f"{name}: not an IPv4 address\n"))
        self.assertEqual(self.run_trisko("remove", "00:11:22:33:44:0a"), (1, ""))


    def test_8_import_keeps_host_names_and_refuses_long_lines(self):
        # Runs last: it stops the server to read the ethers file it saves.
        self.assertEqual(self.run_trisko("import", stdin="00:11:22:33:44:0b\tprinter7\t10.85.0.60\n"), (1, ""))
        code, exported = self.run_trisko("export")
        self.assertEqual((code, exported), (1, "00-11-22-33-44-0b\t10.85.0.60\tStandard\n"))
        # Export writes no host name; fed back, it must not take the entry's away.
        self.assertEqual(self.run_trisko("import", stdin=exported), (1, ""))
        # A line cut at 255 characters would be applied as another entry, and its rest as one more.
        long_line = "00:11:22:33:44:0c\t10.85.0.61\tStandard\t#" + "x" * 220 + "\tab\t10.85.0.62\n"
        code, out = self.run_trisko("import", stdin=long_line)
        self.assertEqual((code, out), (-1, "line 1 longer than 255 characters\n"))
        # So does input without line breaks (it waited for the end of /dev/zero); input that
        # cannot be read is no empty input; a refused line's control characters stay off the
        # terminal.
        with open("/dev/zero", "rb") as zero:
            self.assertEqual(self.run_trisko("import", stdin=zero), (-1, "line 1 longer than 255 characters\n"))
        directory = os.open(self.lab.dir, os.O_RDONLY)
        try:
            self.assertEqual(self.run_trisko("import", stdin=directory),
                             (0, "the entries cannot be read: Is a directory\n"))
        finally:
            os.close(directory)
        self.assertEqual(self.run_trisko("import", stdin="\x1b[2J\x1b]0;x\x07\n"),
                         (-1, "line 1: not a client entry: ?[2J?]0;x?\n"))
        self.assertEqual(self.run_trisko("export")[1], exported)
        self.server.proc.terminate()
        self.server.proc.wait(timeout=15)
        with open(os.path.join(self.lab.dir, "ethers")) as f:
            self.assertEqual(f.read(), "00:11:22:33:44:0b\tprinter7\t10.85.0.60\n")


def record_image(handle, mac_byte, ip_byte, next_handle):
    record = bytearray(328)
    struct.pack_into("<Q", record, 0, handle)
    record[8:12] = bytes([10, 0, 0, ip_byte])
    record[33:40] = bytes([6, 0, 0x11, 0x22, 0x33, 0x44, mac_byte])
    struct.pack_into("<Q", record, 320, next_handle)
    return struct.pack("<Ii", 0, 1) + bytes(record)


class FakeServer(unittest.TestCase):
    """trisko against a stand-in server that answers GetSettings and then plays back the given
    replies, one per request (None: read the request and answer nothing). Returns trisko's exit
    code, its output, the requests received after GetSettings, and how long the run took."""

    def run_against(self, replies, *args, timeout=30, stdin=None):
        trisko = os.path.join(os.path.dirname(VELKORA), "trisko")
        name = f"tkfake{os.getpid()}"
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        listener.bind("\0" + name)
        listener.listen(1)
        listener.settimeout(10)
        requests = []
        done = threading.Event()

        def serve():
            connection, _ = listener.accept()
            listener.close()  # a second connection is refused
            with connection:
                connection.recv(4096)  # GetSettings
                connection.send(struct.pack("<Ii", 0, 152) + bytes(152))
                for reply in replies:
                    requests.append(connection.recv(4096))
                    if reply is None:
                        done.wait(60)
                        return
                    connection.send(reply)

        server = threading.Thread(target=serve, daemon=True)
        server.start()
        started = time.monotonic()
        try:
            result = subprocess.run([trisko, *args], env=dict(os.environ, TOLMARK_PIPE=name), capture_output=True,
                                    text=True, timeout=timeout, input=stdin)
        finally:
            done.set()
            server.join(5)
        return result.returncode, result.stdout, requests, time.monotonic() - started

    def test_a_list_that_breaks_off_fails(self):
        # The server answers the first record of the list, then goes away: the walk is reported
        # as broken off and the run fails, rather than a part passing for the list.
        code, out, _, _ = self.run_against([record_image(1, 0x55, 5, 2)], "export")
        self.assertEqual(code, 0, out)
        self.assertEqual(out, "00-11-22-33-44-55\t10.0.0.5\nService not active\n")

    def test_a_walk_whose_next_record_went_away_starts_again(self):
        # The record after the first one is removed between two requests (its handle names
        # nothing now): the walk starts again from the head and leaves out what it has shown.
        replies = [record_image(1, 1, 1, 2), struct.pack("<I", 0), record_image(1, 1, 1, 3), record_image(3, 3, 3, 0)]
        code, out, requests, _ = self.run_against(replies, "export")
        self.assertEqual((code, out), (1, "00-11-22-33-44-01\t10.0.0.1\n00-11-22-33-44-03\t10.0.0.3\n"))
        self.assertEqual([struct.unpack_from("<IiQ", r) for r in requests],
                         [(7, 0, 0), (7, 1, 2), (7, 0, 0), (7, 1, 3)])
        # A list that changes at every look is given up after a hundred new starts, and said so.
        replies = [record_image(1, 1, 1, 2)] + [struct.pack("<I", 0), record_image(1, 1, 1, 2)] * 100
        code, out, _, _ = self.run_against(replies + [struct.pack("<I", 0)], "export")
        self.assertEqual((code, out), (0, "00-11-22-33-44-01\t10.0.0.1\nthe list kept changing while it was read\n"))

    def test_failed_requests_say_why(self):
        # An older server does not know the request (status 1); a server gone says nothing.
        for command in ("transfers", "store", "stats"):
            self.assertEqual(self.run_against([struct.pack("<I", 1)], command)[:2],
                             (0, "not supported by this server\n"), command)
            self.assertEqual(self.run_against([struct.pack("<I", 2)], command)[:2], (0, "operation failed\n"), command)
            self.assertEqual(self.run_against([], command)[:2], (0, "Service not active\n"), command)
        # Nor is an entry "not found" when the server went away before it answered.
        self.assertEqual(self.run_against([], "remove", "00:11:22:33:44:55")[:2], (0, "Service not active\n"))
        self.assertEqual(self.run_against([], "add", "00:11:22:33:44:55", "10.0.0.5")[:2], (0, "Service not active\n"))
        lines = "00:11:22:33:44:55\t10.0.0.5\n00:11:22:33:44:56\t10.0.0.6\n"
        self.assertEqual(self.run_against([], "import", stdin=lines)[:2],
                         (0, "Service not active\nline 1 and the lines after it were not applied\n"))
        # A removal answered with status 0 but not its list's number back (value 0: the handle named
        # no entry of that list any more) removed nothing. The record's expiry 0 counts as expired.
        for value, result in ((0, (0, "operation failed\n")), (1, (1, ""))):
            expired = record_image(1, 0x55, 5, 0)
            self.assertEqual(self.run_against([expired, struct.pack("<Ii", 0, value)], "remove_expired")[:2], result)

    def test_a_server_that_stops_answering_does_not_hold_trisko(self):
        code, out, _, elapsed = self.run_against([None], "print")
        self.assertEqual(code, 0, out)
        self.assertTrue(out.endswith("Service not active\n"), out)
        self.assertLess(elapsed, 25)


if __name__ == "__main__":
    netns.main(globals())
