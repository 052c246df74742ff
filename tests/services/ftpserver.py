#!/usr/bin/env python3
"""A loopback FTP server for the update tests: the update account over a folder.

    ftpserver.py ROOT [--rate BYTES_PER_SECOND] [--stop-after BYTES] [--demo]

Listens on 127.0.0.1 on a free port and prints "PORT <n>" once it accepts connections.
--rate throttles file data sent to the client; --stop-after ends the whole server (the
process exits) once that many bytes of one file have been sent, as a server that goes
away in the middle of a download. --demo first fills ROOT with an update site whose
newest build is 125 (for screenshots and trying the update dialog by hand: set the
settings' "Update Server" to 127.0.0.1:<n>).
"""
import argparse
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

USER = "pixsalvo"
PASSWORD = "tqbnwfzh"


def write_demo(root):
    def put(path, data):
        target = os.path.join(root, path.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)

    put("/PX3Win/Update/PX3update_index.xml",
        "<Updates>\n<License>Pixsalvo 3 licence agreement\n\nThis software is licensed, not sold. "
        "You may install it on the computers you use yourself.\n</License>\n"
        "<Build buildnumber='120' version='3.0.0.120' location='/PX3Win/Builds/120/build.xml'></Build>\n"
        "<Build buildnumber='125' version='3.0.0.125' location='/PX3Win/Builds/125/build.xml'></Build>\n"
        "</Updates>\n")
    put("/PX3Win/Builds/125/build.xml",
        "<BuildInfo scheme='1'>\n<BUILD buildnumber='125' version='3.0.0.125' "
        "location='/PX3Win/Builds/125/pixsalvo3_3.0.0.125_amd64.deb'>\n"
        "<FEATURE>Faster scans of large cards</FEATURE>\n<FEATURE>Sound files of newer cameras</FEATURE>\n"
        "<FEATURE>Backup copies on CD</FEATURE>\n</BUILD>\n</BuildInfo>\n")
    put("/PX3Win/Builds/125/pixsalvo3_3.0.0.125_amd64.deb", os.urandom(256 * 1024))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--rate", type=int, default=0)
    parser.add_argument("--stop-after", type=int, default=-1)
    parser.add_argument("--demo", action="store_true")
    args = parser.parse_args()
    if args.demo:
        write_demo(args.root)

    class DataHandler(ThrottledDTPHandler):
        write_limit = args.rate
        sent = 0

        def send(self, data):
            if args.stop_after >= 0:
                if DataHandler.sent >= args.stop_after:
                    os._exit(0)
                data = data[: args.stop_after - DataHandler.sent]
            n = super().send(data)
            DataHandler.sent += n or 0
            return n

    authorizer = DummyAuthorizer()
    authorizer.add_user(USER, PASSWORD, args.root, perm="elr")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.dtp_handler = DataHandler
    handler.use_sendfile = False
    handler.auth_failed_timeout = 0
    server = FTPServer(("127.0.0.1", 0), handler)
    server.max_cons = 32
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(timeout=0.2)


if __name__ == "__main__":
    import logging

    logging.basicConfig(level=logging.CRITICAL)
    sys.exit(main())
