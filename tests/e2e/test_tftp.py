"""The TFTP server with real clients (curl, tftp-hpa, atftp) and a probing client in network
namespaces: block sizes and tsize, exact multiples of the block size, netascii both ways of
"TFTPUnixStyle", uploads, windowsize,
multicast, large files, silent and aborting clients, many clients at once, the client and data
port limits, traversal attempts, trisko's view of the transfer list and a listener restart
after a settings change. Every file that arrives is compared with its source."""

import fcntl
import json
import os
import random
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

VELKORA = None
HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = "10.77.0.1"
CLIENT = "10.77.0.2"
# More hosts of the client's network, for what one address may not do alone.
NEIGHBOURS = [f"10.77.0.{i}" for i in range(3, 8)]


def random_bytes(n, seed):
    return random.Random(seed).randbytes(n)


class Tftp(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [c for c in ("curl", "tftp", "atftp") if shutil.which(c) is None]
        if missing:
            print(f"SKIPPED: TFTP clients missing: {' '.join(missing)} (scripts/install-deps.sh installs them)")
            sys.exit(netns.SKIP)
        cls.trisko = os.path.join(os.path.dirname(VELKORA), "trisko")
        lab = cls.lab = netns.Lab("tf")
        cls.srv = lab.namespace("s")
        cls.cli = lab.namespace("c")
        srv_dev, cli_dev = lab.link(cls.srv, f"{SERVER}/24", cls.cli, f"{CLIENT}/24", f"{lab.prefix}x")
        for address in NEIGHBOURS:
            lab.ns_run(cls.cli, "ip", "addr", "add", f"{address}/24", "dev", cli_dev)
        # Multicast groups travel over the link between the two.
        lab.ns_run(cls.srv, "ip", "route", "add", "224.0.0.0/4", "dev", srv_dev)
        lab.ns_run(cls.cli, "ip", "route", "add", "224.0.0.0/4", "dev", cli_dev)
        cls.root = os.path.join(lab.dir, "root") + "/"
        cls.outside = os.path.join(lab.dir, "outside") + "/"
        cls.images = os.path.join(lab.dir, "images")
        cls.work = os.path.join(lab.dir, "client")
        for d in (cls.root, cls.outside, cls.images, cls.work):
            os.makedirs(d, exist_ok=True)
        cls.files = {
            "random.bin": random_bytes(3 * 1024 * 1024 + 123, 1),
            "exact.bin": random_bytes(512 * 8, 2),
            "large.bin": random_bytes(512 * 65600 + 77, 3),
            "dos.txt": b"".join(b"line %d of a DOS text\r\n" % i for i in range(3000)),
            "unix.txt": b"".join(b"line %d\twith a lone \r here\n" % i for i in range(3000)) + b"\n\n",
        }
        for name, content in cls.files.items():
            with open(cls.root + name, "wb") as f:
                f.write(content)
        with open(cls.outside + "secret", "wb") as f:
            f.write(b"secret")
        with open(os.path.join(cls.images, "a.bin"), "wb") as f:
            f.write(b"image a")
        os.symlink(cls.outside + "secret", cls.root + "evil")
        os.symlink(cls.outside, cls.root + "linkdir")
        os.symlink(cls.outside + "secret", os.path.join(cls.images, "escape"))
        # Links that stay inside the root, as administrators make them, also absolute ones.
        os.makedirs(cls.root + "pxelinux.cfg")
        os.symlink(cls.root + "exact.bin", cls.root + "pxelinux.cfg/default")
        os.symlink("../random.bin", cls.root + "pxelinux.cfg/relative")
        os.mkfifo(cls.root + "fifo")
        os.makedirs(cls.root + "10.77.0.0")
        with open(cls.root + "10.77.0.0/special.bin", "wb") as f:
            f.write(b"for the 10.77.0.0/23 clients")
        registry = netns.write_config(lab.dir, {
            "TFTPEnable": 1, "TFTPMode": 0, "TFTPDirectory": cls.root, "TFTPTimeout": 1, "TFTPRetransmit": 2,
            "Multicast": 1, "MulticastIp": "239.255.0.1", "Port": 6767, "TFTPMaxWindow": 1000000,
        })
        # What a server killed during an upload leaves: its working file.
        ended = subprocess.Popen(["true"])
        ended.wait()
        cls.leftover = f".up.bin.{ended.pid}.0.upload"
        with open(cls.root + cls.leftover, "wb") as f:
            f.write(b"half an upload")
        # The upload of a server in another container on the same directory, still running: its
        # process number (1 in its pid namespace) names another program here; it holds its
        # working file locked.
        cls.foreign = ".up.bin.1.0.upload"
        cls.foreign_upload = open(cls.root + cls.foreign, "wb")
        cls.foreign_upload.write(b"another server's upload")
        fcntl.flock(cls.foreign_upload, fcntl.LOCK_EX | fcntl.LOCK_NB)
        os.chmod(lab.dir, 0o755)
        cls.server = netns.start_velkora(lab, cls.srv, VELKORA, registry, "TFTP  ready   on port 69")

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        cls.foreign_upload.close()
        cls.lab.close()

    # Helpers.
    def client_run(self, *args, timeout=120, check=True):
        result = subprocess.run(["ip", "netns", "exec", self.cli, *args], capture_output=True, timeout=timeout,
                                cwd=self.work)
        if check and result.returncode != 0:
            self.fail(f"{' '.join(args)}: {result.returncode} {result.stderr.decode(errors='replace')}")
        return result

    def probe(self, *args, timeout=150):
        out = self.client_run(sys.executable, os.path.join(HERE, "tftp_probe.py"), args[0], SERVER, "69",
                              *map(str, args[1:]), timeout=timeout).stdout
        return json.loads(out)

    def settings(self, **values):
        result = subprocess.run(["ip", "netns", "exec", self.srv, sys.executable, os.path.join(HERE, "tftp_settings.py"),
                                 *[f"{k}={v}" for k, v in values.items()]], capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def received(self, name):
        with open(os.path.join(self.work, name), "rb") as f:
            return f.read()

    def mark(self):
        # What the server wrote before counts as before: a long transfer's log lines may still
        # wait to be read, and a search from a mark that lags finds the previous transfer's lines.
        self.server.settle(0.2)
        return len(self.server.lines)

    def logged(self, text, start, timeout=10.0):
        found = self.server.wait_for(text, timeout=timeout, start=start)
        self.assertIsNotNone(found, f"no log line with {text!r}:\n" + "\n".join(self.server.lines[start:][-40:]))
        return self.server.lines[found]

    # Scenarios.
    def test_01_curl_block_sizes_and_tsize(self):
        for blksize in (None, 1468, 8192):
            out = f"curl-{blksize}.bin"
            start = self.mark()
            extra = ["--tftp-blksize", str(blksize)] if blksize else []
            self.client_run("curl", "-sS", *extra, "-o", out, f"tftp://{SERVER}/random.bin")
            self.assertEqual(self.received(out), self.files["random.bin"])
            size = len(self.files["random.bin"])
            line = self.logged(f"Name {self.root}random.bin Mode octet Size {size} tsize {size}", start)
            if blksize:
                self.assertIn(f" blksize {blksize}", line)
            self.logged(f"s {CLIENT}  Get/octet  {self.root}random.bin", start)

    def test_03_more_than_65535_blocks(self):
        start = self.mark()
        self.client_run("curl", "-sS", "-o", "large.bin", f"tftp://{SERVER}/large.bin", timeout=240)
        self.assertEqual(self.received("large.bin"), self.files["large.bin"])
        self.logged(f"s {CLIENT}  Get/octet  {self.root}large.bin", start, timeout=30)

    def test_04_netascii_both_ways_of_unix_style(self):
        # "TFTPUnixStyle" 0 moves the file's bytes as they are: a DOS text arrives with the
        # client's line ends.
        self.client_run("tftp", "-m", "netascii", SERVER, "-c", "get", "dos.txt", "dos.txt")
        self.assertEqual(self.received("dos.txt"), self.files["dos.txt"].replace(b"\r\n", b"\n"))
        # 1 converts the host's line ends (and lone CRs) to netascii and the client back.
        self.settings(TFTPUnixStyle=1, TFTPUpload=1)
        try:
            start = self.mark()
            self.client_run("tftp", "-m", "netascii", SERVER, "-c", "get", "unix.txt", "unix.txt")
            self.assertEqual(self.received("unix.txt"), self.files["unix.txt"])
            self.logged(f"Name {self.root}unix.txt Mode ascii Size ", start)
            # atftp announces the size of its own text: the stream is longer by a CR per line.
            with open(os.path.join(self.work, "unix-up.txt"), "wb") as f:
                f.write(self.files["unix.txt"])
            self.client_run("atftp", "--option", "tsize", "--option", "mode netascii", "-p", "-l", "unix-up.txt",
                            "-r", "unix-up.txt", SERVER)
            with open(self.root + "unix-up.txt", "rb") as f:
                self.assertEqual(f.read(), self.files["unix.txt"])
        finally:
            self.settings(TFTPUnixStyle=0, TFTPUpload=0)

    def test_05_uploads_off_and_on(self):
        payload = random_bytes(200000, 5)
        with open(os.path.join(self.work, "up.bin"), "wb") as f:
            f.write(payload)
        start = self.mark()
        refused = self.client_run("atftp", "-p", "-l", "up.bin", "-r", "up.bin", SERVER, check=False)
        self.assertNotEqual(refused.returncode, 0)
        self.logged(f"TFTP  Error   {CLIENT}  Put  4 Illegal TFTP operation", start)
        self.assertFalse(os.path.exists(self.root + "up.bin"))
        # What a killed server's upload left in the root went at start; the working file of a
        # running upload is no file to download.
        self.logged(f"TFTP  Removed {self.root}{self.leftover}, left by an upload that never ended", 0)
        self.assertFalse(os.path.exists(self.root + self.leftover))
        self.assertTrue(os.path.exists(self.root + self.foreign))
        self.assertIsNone(self.server.wait_for(f"Removed {self.root}{self.foreign}", timeout=0, start=0))
        working = f".up.bin.{self.server.proc.pid}.9.upload"
        with open(self.root + working, "wb") as f:
            f.write(b"half an upload")
        reply = self.probe("raw", 1, working, "octet")["reply"]
        os.unlink(self.root + working)
        self.assertEqual((reply["opcode"], reply["code"]), (5, 2))
        self.settings(TFTPUpload=1)
        try:
            start = self.mark()
            self.client_run("atftp", "-p", "-l", "up.bin", "-r", "up.bin", SERVER)
            self.logged(f"s {CLIENT}  Put/octet  {self.root}up.bin", start)
            with open(self.root + "up.bin", "rb") as f:
                self.assertEqual(f.read(), payload)
            again = self.client_run("atftp", "-p", "-l", "up.bin", "-r", "up.bin", SERVER, check=False)
            self.assertNotEqual(again.returncode, 0)
            self.logged(f"TFTP  Error   {CLIENT}  Put  6 File already exists", start)
        finally:
            self.settings(TFTPUpload=0)

    def test_06_windowsize(self):
        for window in (8, 32):
            start = self.mark()
            out = f"window-{window}.bin"
            self.client_run("atftp", "--option", f"windowsize {window}", "-g", "-r", "random.bin", "-l", out, SERVER)
            self.assertEqual(self.received(out), self.files["random.bin"])
            self.logged(f"TFTP  Oack    sent windowsize {window}", start)
            self.logged(f"s {CLIENT}  Get/octet  {self.root}random.bin", start)
            # The client acknowledges once per window.
            lines = self.server.lines
            oack = max(i for i in range(len(lines)) if f"Oack    sent windowsize {window}" in lines[i])
            end = next(i for i in range(oack, len(lines)) if "Get/octet" in lines[i])
            acks = [line for line in lines[oack:end] if "ack     received" in line]
            self.assertGreater(len(acks), 0)
            self.assertLessEqual(len(acks), len(self.files["random.bin"]) // 512 // window + 2)
        # A client that sends every ACK twice gets every block once, with a window or without.
        blocks = len(self.files["random.bin"]) // 512 + 1
        for window in (8, 1):
            result = self.probe("twice", "random.bin", window)
            self.assertEqual(result, {"data": blocks, "bytes": len(self.files["random.bin"])}, window)

    def test_07_multicast(self):
        start = self.mark()
        self.client_run("atftp", "--option", "multicast", "-g", "-r", "random.bin", "-l", "multicast.bin", SERVER)
        self.assertEqual(self.received("multicast.bin"), self.files["random.bin"])
        self.logged("multicast 239.255.0.1,1758,1", start)
        self.logged(f"s {CLIENT}  Get/octet  {self.root}random.bin", start)

        # A client joins a running group; when the master leaves, the role passes to it and it
        # asks for every block itself.
        start = self.mark()
        master = subprocess.Popen(["ip", "netns", "exec", self.cli, sys.executable, os.path.join(HERE, "tftp_probe.py"),
                                   "master", SERVER, "69", "random.bin", "2.5"], stdout=subprocess.PIPE, text=True)
        try:
            self.logged("multicast 239.255.0.1,1758,1", start)
            self.client_run("atftp", "--option", "multicast", "-g", "-r", "random.bin", "-l", "joined.bin", SERVER)
            self.assertEqual(master.wait(timeout=30), 0)
        finally:
            if master.poll() is None:
                master.kill()
        self.assertEqual(json.loads(master.stdout.read())["oack"], ["multicast", "239.255.0.1,1758,1"])
        self.logged("multicast 239.255.0.1,1758,0", start)
        self.logged(f"TFTP  Abort   {CLIENT}  Get/octet  0 leaving {self.root}random.bin", start)
        self.assertEqual(self.received("joined.bin"), self.files["random.bin"])

    def held(self):
        """The server's open descriptors and threads."""
        pid = self.server.proc.pid
        return len(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task"))

    def test_08_silent_and_aborting_clients(self):
        # The receive watch's thread comes with the first transfer and stays.
        self.client_run("curl", "-sS", "-o", "before-silent.bin", f"tftp://{SERVER}/exact.bin")
        self.server.settle(1)
        before = self.held()
        start = self.mark()
        result = self.probe("silent", "random.bin", 15)
        blocks = [p for p in result["packets"] if p["opcode"] == 3]
        # The first block and "TFTPRetransmit" (2) plus one repetitions: the first a time-out
        # after it, the others a time-out plus the client's own 5 s apart.
        self.assertEqual([p["block"] for p in blocks], [1, 1, 1, 1], result)
        gaps = [b["at"] - a["at"] for a, b in zip(blocks, blocks[1:])]
        self.assertTrue(0.8 <= gaps[0] <= 2 and all(5.8 <= gap <= 7 for gap in gaps[1:]), result)
        self.logged(f"TFTP  Timeout {CLIENT}  Get/octet  {self.root}random.bin", start)
        start = self.mark()
        self.probe("abort", "random.bin", 3, "no room here")
        self.logged(f"TFTP  Abort   {CLIENT}  Get/octet  3 no room here {self.root}random.bin", start)
        # Each ended transfer gave back its socket, file and thread.
        deadline = time.monotonic() + 5
        while self.held() != before and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(self.held(), before)

    def test_09_ten_clients_at_once(self):
        # Five hosts with two downloads each: one address holds two of the eleven slots at most.
        procs = [subprocess.Popen(["ip", "netns", "exec", self.cli, "curl", "-sS", "--interface", NEIGHBOURS[i % 5],
                                   "-o", f"many-{i}.bin", f"tftp://{SERVER}/random.bin"], cwd=self.work)
                 for i in range(10)]
        for p in procs:
            self.assertEqual(p.wait(timeout=120), 0)
        for i in range(10):
            self.assertEqual(self.received(f"many-{i}.bin"), self.files["random.bin"], i)

    def test_10_client_and_data_port_limits(self):
        # "TFTPClients" 1: up to two transfers run; the next request is ignored.
        self.settings(TFTPClients=1, TFTPTimeout=3)
        try:
            start = self.mark()
            result = self.probe("limits", "random.bin")
            self.assertIsNone(result["third"])
            self.logged(f"TFTP  Error   request from {CLIENT} ignored, 2", start)
            self.server.settle(7)  # the held transfers time out
            # "TFTPDataPort" 5000 with "TFTPClients" 2: ports 5000 and 5001, then none is left.
            self.settings(TFTPClients=2, TFTPDataPort=5000)
            start = self.mark()
            result = self.probe("limits", "random.bin", NEIGHBOURS[0])
            self.assertEqual(sorted(result["data_ports"]), [5000, 5001])
            self.assertEqual(result["third"], {"opcode": 5, "code": 0, "text": "Data port setup failed", "from_port": 69})
            self.logged(f"TFTP  Error   {NEIGHBOURS[0]}  Get  bind on data port failed", start)
            self.server.settle(7)
        finally:
            self.settings(TFTPClients=10, TFTPDataPort=0, TFTPTimeout=1)

    def test_11_traversal_is_refused(self):
        cases = [
            ("../outside/secret", 4, "Invalid path"),
            ("sub/../../outside/secret", 4, "Invalid path"),
            (self.outside + "secret", 1, "File not found"),  # absolute, outside the prefixes: below the root
            ("evil", 2, "Access denied"),
            ("linkdir/secret", 2, "Access denied"),
        ]
        for name, code, text in cases:
            reply = self.probe("raw", 1, name, "octet")["reply"]
            self.assertEqual((reply["opcode"], reply["code"], reply["text"], reply["from_port"]), (5, code, text, 69), name)
        self.settings(TFTPPrefix=self.images, TFTPUpload=3)
        try:
            self.client_run("curl", "-sS", "-o", "prefixed.bin", f"tftp://{SERVER}/{self.images}/a.bin")
            self.assertEqual(self.received("prefixed.bin"), b"image a")
            reply = self.probe("raw", 1, self.images + "/escape", "octet")["reply"]
            self.assertEqual((reply["code"], reply["text"]), (2, "Access denied"))
            reply = self.probe("raw", 2, "linkdir/planted", "octet")["reply"]
            self.assertEqual((reply["opcode"], reply["code"]), (5, 2))
            # Overwriting replaces the link in the root itself; the file it named stays.
            self.assertEqual(self.probe("raw", 2, "evil", "octet")["reply"]["opcode"], 4)
        finally:
            self.settings(TFTPPrefix="", TFTPUpload=0)
        self.assertEqual(sorted(os.listdir(self.outside)), ["secret"])
        with open(self.outside + "secret", "rb") as f:
            self.assertEqual(f.read(), b"secret")

    def test_12_trisko_shows_the_transfers(self):
        self.client_run("curl", "-sS", "-o", "listed.bin", f"tftp://{SERVER}/exact.bin")
        result = subprocess.run(["ip", "netns", "exec", self.srv, self.trisko, "transfers"], capture_output=True,
                                text=True, timeout=30)
        self.assertEqual(result.returncode, 1, result.stdout)
        size = len(self.files["exact.bin"])
        self.assertIn(f"Get/octet {CLIENT} {size} {size} done {self.root}exact.bin", result.stdout.splitlines())

    def test_13_settings_change_restarts_the_listener(self):
        # exact.bin is 8 blocks of 512 bytes: curl finishes only on the empty block after them.
        start = self.mark()
        self.settings(TFTPPort=1069)
        try:
            self.logged("TFTP  ready   on port 1069", start)
            self.client_run("curl", "-sS", "-o", "moved.bin", f"tftp://{SERVER}:1069/exact.bin")
            self.assertEqual(self.received("moved.bin"), self.files["exact.bin"])
            self.assertIsNone(self.probe("raw", 1, "exact.bin", "octet")["reply"])  # nobody on 69 now
        finally:
            start = self.mark()
            self.settings(TFTPPort=69)
            self.logged("TFTP  ready   on port 69", start)

    def test_14_links_inside_the_root_are_followed_and_a_fifo_blocks_nobody(self):
        # An absolute link to a file of the root, and a relative one, with tftp-hpa and curl.
        self.client_run("tftp", SERVER, "-c", "get", "pxelinux.cfg/default", "default")
        self.assertEqual(self.received("default"), self.files["exact.bin"])
        self.client_run("curl", "-sS", "-o", "relative.bin", f"tftp://{SERVER}/pxelinux.cfg/relative")
        self.assertEqual(self.received("relative.bin"), self.files["random.bin"])
        # One that leads out is refused.
        refused = self.client_run("tftp", SERVER, "-c", "get", "evil", "evil", check=False)
        self.assertIn(b"Error code 2: Access denied", refused.stdout + refused.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.work, "evil")) and self.received("evil") == b"secret")
        # A FIFO is no file: refused at once, while another client is served.
        start = self.mark()
        begin = time.monotonic()
        fifo = subprocess.Popen(["ip", "netns", "exec", self.cli, "curl", "-sS", "-o", "fifo.out",
                                 f"tftp://{SERVER}/fifo"], cwd=self.work, stderr=subprocess.PIPE)
        self.client_run("curl", "-sS", "-o", "beside-fifo.bin", f"tftp://{SERVER}/exact.bin")
        self.assertNotEqual(fifo.wait(timeout=30), 0)
        self.assertLess(time.monotonic() - begin, 10)
        self.assertEqual(self.received("beside-fifo.bin"), self.files["exact.bin"])
        self.logged(f"TFTP  Error   {CLIENT}  Get  1 File not found {self.root}fifo", start)

    def test_15_a_root_without_its_final_slash_and_an_address_directory(self):
        start = self.mark()
        self.settings(TFTPDirectory=self.root.rstrip("/"), TFTPRootIPspecific=9)
        try:
            self.client_run("curl", "-sS", "-o", "special.bin", f"tftp://{SERVER}/special.bin")
            self.assertEqual(self.received("special.bin"), b"for the 10.77.0.0/23 clients")
            self.logged(f"Name {self.root}10.77.0.0/special.bin Mode octet", start)
            self.logged(f"s {CLIENT}  Get/octet  {self.root}10.77.0.0/special.bin", start)
        finally:
            self.settings(TFTPDirectory=self.root, TFTPRootIPspecific=0)
        # Without the address directory the root itself is used.
        self.settings(TFTPDirectory=self.root.rstrip("/"))
        try:
            start = self.mark()
            self.client_run("curl", "-sS", "-o", "plain.bin", f"tftp://{SERVER}/exact.bin")
            self.logged(f"Name {self.root}exact.bin Mode octet", start)
            self.logged(f"s {CLIENT}  Get/octet  {self.root}exact.bin", start)
        finally:
            self.settings(TFTPDirectory=self.root)

    def test_16_the_largest_window_with_the_largest_blocks(self):
        # "TFTPMaxWindow" 1000000 is held to 256, and the window to what 1 MB of blocks holds.
        self.assertTrue([line for line in self.server.lines if "TFTPMaxWindow 1000000 out of range, 256 used" in line])
        start = self.mark()
        self.client_run("atftp", "--option", "blksize 65464", "--option", "windowsize 65535", "-g", "-r", "random.bin",
                        "-l", "huge-window.bin", SERVER)
        self.assertEqual(self.received("huge-window.bin"), self.files["random.bin"])
        line = self.logged("TFTP  Oack    sent blksize 65464", start)
        self.assertIn(" windowsize 16", line)
        with open(f"/proc/{self.server.proc.pid}/status") as f:
            rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
        self.assertLess(rss, 400 * 1024)  # kB: nothing like the 4 GB such a window once took
        self.client_run("curl", "-sS", "-o", "after-window.bin", f"tftp://{SERVER}/exact.bin")

    def test_17_option_values_out_of_range(self):
        # Left out of the OACK, the file comes with the default (a boot loader with a time-out
        # under a second sends "timeout 0").
        for options in (("timeout", "0", "tsize", "0"), ("blksize", "4", "tsize", "0")):
            reply = self.probe("raw", 1, "exact.bin", "octet", *options)["reply"]
            self.assertEqual(reply.get("options"), ["tsize", str(len(self.files["exact.bin"]))], options)
        self.client_run("atftp", "--option", "windowsize 0", "-g", "-r", "exact.bin", "-l", "window-0.bin", SERVER)
        self.assertEqual(self.received("window-0.bin"), self.files["exact.bin"])


if __name__ == "__main__":
    netns.main(globals())
