"""Reads and changes the TFTP settings block of the server of this network namespace through
the control pipe, as the manager does: GetTftpSettings, change fields, SetTftpSettings.

    tftp_settings.py KEY=VALUE ...     (integer keys, TFTPPrefix and TFTPDirectory)
"""

import os
import socket
import struct
import sys

GET_TFTP_SETTINGS = 14
SET_TFTP_SETTINGS = 15
BLOCK_SIZE = 1860
INTEGER_OFFSETS = {
    "TFTPPort": 0, "TFTPDataPort": 4, "TFTPTimeout": 8, "TFTPRetransmit": 12, "TFTPClients": 16,
    "TFTPOptions": 20, "TFTPUnixStyle": 24, "TFTPmmf": 28, "TFTPMMFmax": 32, "TFTPUpload": 36,
    "TFTPRootIPspecific": 40, "TFTPRootProfile": 44, "TFTPWindowSize": 48, "TFTPLargeFiles": 52,
    "TFTPEnable": 56, "TFTPMode": 60, "TFTPFlags": 64,
}
TEXT_FIELDS = {"TFTPPrefix": (68, 768), "TFTPDirectory": (836, 896)}


def transact(sock, code, value, payload=b""):
    sock.send(struct.pack("<Ii", code, value) + payload)
    return sock.recv(2048)


def main():
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    sock.connect("\0" + os.environ.get("TOLMARK_PIPE", "tolmark_dhcp_server"))
    reply = transact(sock, GET_TFTP_SETTINGS, 0)
    status, value = struct.unpack("<Ii", reply[:8])
    assert status == 0 and value == BLOCK_SIZE, (status, value)
    block = bytearray(reply[8:8 + BLOCK_SIZE])
    for item in sys.argv[1:]:
        key, text = item.split("=", 1)
        if key in INTEGER_OFFSETS:
            struct.pack_into("<i", block, INTEGER_OFFSETS[key], int(text))
        else:
            offset, width = TEXT_FIELDS[key]
            block[offset:offset + width] = text.encode().ljust(width, b"\0")[:width]
    reply = transact(sock, SET_TFTP_SETTINGS, BLOCK_SIZE, bytes(block))
    sys.exit(0 if struct.unpack("<I", reply[:4])[0] == 0 else 1)


if __name__ == "__main__":
    main()
