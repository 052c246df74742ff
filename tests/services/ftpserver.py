#!/usr/bin/env python3
"""A loopback FTP server for the update tests: the update account over a folder.

    ftpserver.py ROOT [--rate BYTES_PER_SECOND] [--stop-after BYTES] [--cut BYTES]
                      [--stall] [--no-size] [--mute] [--only SUFFIX] [--demo]

Listens on 127.0.0.1 on a free port and prints "PORT <n>" once it accepts connections.
The faults of a bad server or line, for the files whose name ends in SUFFIX (--only; all
files without it):
  --rate      throttles file data (2 gives a trickle of 2 bytes a second);
  --stop-after ends the whole server (the process exits) once that many bytes of one file
              have been sent, as a server that goes away in the middle of a download;
  --cut       sends only the first BYTES of a file, then ends the data with a clean
              "226 Transfer complete", as if the file were whole;
  --stall     opens the data connection and never sends a byte;
  --no-size   refuses SIZE ("502"), so the client does not learn a file's size;
  --mute      (all files) accepts connections and never says a word, not even hello.
--demo first fills ROOT with an update site whose newest build is 125 (for screenshots
and trying the update dialog by hand: set the settings' "Update Server" to
127.0.0.1:<n>). Its installer has no release signature, so Update refuses to start it.
"""
import argparse
import os
import socket
import sys
import time

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
    parser.add_argument("--cut", type=int, default=-1)
    parser.add_argument("--stall", action="store_true")
    parser.add_argument("--no-size", action="store_true")
    parser.add_argument("--mute", action="store_true")
    parser.add_argument("--only", default="")
    parser.add_argument("--demo", action="store_true")
    args = parser.parse_args()
    if args.demo:
        write_demo(args.root)
    if args.mute:
        return mute()

    class CutProducer:
        """The first `left` bytes of a file, then its end."""

        def __init__(self, producer, left):
            self.producer, self.left, self.rest = producer, left, b""

        def more(self):
            data = self.rest or self.producer.more()
            self.rest = data[self.left:]
            data = data[: self.left]
            self.left -= len(data)
            return data

    class DataHandler(ThrottledDTPHandler):
        sent = 0

        def faulty(self):
            name = getattr(self.file_obj, "name", "") or ""
            return name.endswith(args.only)

        def push_with_producer(self, producer):
            if self.faulty() and args.stall:
                self._initialized = True   # the data connection stays open and silent
                return
            if self.faulty() and args.cut >= 0:
                producer = CutProducer(producer, args.cut)
            if self.faulty() and args.rate > 0:
                # The throttle's own rule: a send never larger than a second's bytes.
                self.write_limit = args.rate
                while self.ac_out_buffer_size > args.rate:
                    self.ac_out_buffer_size //= 2
                self.ac_out_buffer_size = max(1, self.ac_out_buffer_size)
            super().push_with_producer(producer)

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
    class Handler(FTPHandler):
        def ftp_SIZE(self, path):
            if args.no_size and path.endswith(args.only):
                self.respond("502 SIZE not implemented.")
                return
            super().ftp_SIZE(path)

    handler = Handler
    handler.authorizer = authorizer
    handler.dtp_handler = DataHandler
    handler.use_sendfile = False
    handler.auth_failed_timeout = 0
    server = FTPServer(("127.0.0.1", 0), handler)
    server.max_cons = 32
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(timeout=0.2)


def mute():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    held = []
    while True:
        connection, _ = listener.accept()
        held.append(connection)   # kept open, never answered


if __name__ == "__main__":
    import logging

    logging.basicConfig(level=logging.CRITICAL)
    sys.exit(main())
