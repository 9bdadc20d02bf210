#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<name>/.

Run from anywhere; existing seeds of the same names are replaced. Seeds are
small valid inputs (and a few near-valid ones) so that the fuzzer starts from
the shapes the readers accept.
"""
import gzip
import hashlib
import io
import os
import struct
import tarfile

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC, MARKER = 0x2287, 0x12345678


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def record(rtype, key=None, value=None, status=0, reserved=b""):
    """A request record on the wire: header, reserved bytes, key, value."""
    body = reserved
    for t in (key, value):
        if t is not None:
            body += t.encode() + b"\0"
    return struct.pack("<HHiiII", MAGIC, rtype, status, len(reserved),
                       MARKER if key is not None else 0,
                       MARKER if value is not None else 0) + body


def cfgpack(entries):
    """An image: entries are (type, subtype, payload bytes)."""
    payload, table, conts, confs = b"", b"", 0, 0
    for etype, sub, data in entries:
        table += struct.pack("<BBxxII", etype, sub, len(payload), len(data))
        payload += data
        if etype in (0, 2):
            conts += 1
        elif etype == 1:
            confs += 1
    total = 128 + len(table) + len(payload)
    head = struct.pack("<BB2sIII16sHH", 2, 0, b"KZ", total, len(table), len(payload), b"\0" * 16, conts, confs)
    img = bytearray(head.ljust(128, b"\0") + table + payload)
    img[16:32] = hashlib.md5(bytes(img)).digest()
    return bytes(img)


def tar_gz(members, compress=True, fmt=tarfile.DEFAULT_FORMAT):
    """A tar archive of (name, text or None for a folder, link target); a
    target beginning with "=" makes a hard link, "|" a FIFO."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=fmt) as t:
        for name, text, link in members:
            info = tarfile.TarInfo(name)
            if link == "|":
                info.type = tarfile.FIFOTYPE
                t.addfile(info)
            elif link is not None and link.startswith("="):
                info.type, info.linkname = tarfile.LNKTYPE, link[1:]
                t.addfile(info)
            elif link is not None:
                info.type, info.linkname = tarfile.SYMTYPE, link
                t.addfile(info)
            elif text is None:
                info.type, info.mode = tarfile.DIRTYPE, 0o755
                t.addfile(info)
            else:
                data = text.encode()
                info.size = len(data)
                t.addfile(info, io.BytesIO(data))
    raw = buf.getvalue()
    if compress:
        return gzip.compress(raw, mtime=0)
    # The record padding goes; the two zero blocks that end an archive stay.
    body = raw.rstrip(b"\0")
    return body.ljust(-(-len(body) // 512) * 512 + 1024, b"\0")


def conf(key, value):
    return (1, 0, key.encode() + b"\0" + value.encode() + b"\0")


def cont(name, sub=0):
    return (0, sub, name.encode() + b"\0")


TREE_ARCHIVE = tar_gz([("./tree0", None, None), ("./tree0/sys.tree", "sys/wan/mtu;A:RW,G:RW;uint;;v(1400)\n", None)])

put("request", "get", record(0, "SYS_NAME"))
put("request", "set", record(2, "WAN_MTU", "1400"))
put("request", "reserved", record(20, "./sys/wan/mode", "static", reserved=b"\x01\x02\x03\x04"))
put("request", "value-only", record(22, None, "x"))

put("cfgpack", "firmware", b"\x00" + cfgpack([cont("network.cfg"), conf("WAN_MTU", "1500"), conf("LAN_IP", "10.0.0.1")]))
put("cfgpack", "factory", b"\x01" + cfgpack([cont("Not-Reset Default", 1), conf("SYS_SERIAL_NO", "A1"),
                                                 cont("network.cfg"), conf("WAN_MTU", "1400")]))
put("cfgpack", "user-sc", b"\x06" + cfgpack([cont("network.cfg"), conf("WAN_MTU", "1300"), (2, 2, TREE_ARCHIVE)]))

put("archive", "tree", TREE_ARCHIVE)
put("archive", "plain-tar", tar_gz([("./tree1", None, None), ("./tree1/oma.tree", "DevInfo/Man;A:R,G:R;string;;v(x)\n", None)], False))
put("archive", "link", tar_gz([("./l", None, "/etc"), ("./d", None, None)]))
put("archive", "dotdot", tar_gz([("./a/../../b", "x", None)]))
# Plain tar, so that mutations reach the member checks instead of dying in the
# compression: links, a FIFO, long names in both extended formats.
put("archive", "hardlink", tar_gz([("./f", "x", None), ("./g", None, "=./f")], False))
put("archive", "fifo", tar_gz([("./p", None, "|")], False))
put("archive", "through-link", tar_gz([("./l", None, "sub"), ("./l/x", "y", None)], False))
put("archive", "pax-long", tar_gz([("./" + "d" * 120 + "/t.tree", "a;b;c\n", None)], False, tarfile.PAX_FORMAT))
put("archive", "gnu-long", tar_gz([("./" + "e" * 120, "x", None)], False, tarfile.GNU_FORMAT))
put("archive", "absolute", tar_gz([("/abs", "x", None)], False))
# A link, then a folder of the same name, then a member in it; and links that
# stay inside, one climbing to its parent.
put("archive", "link-then-folder", tar_gz([("./esc", None, "../canary"), ("./esc", None, None),
                                           ("./esc/pwned", "x", None)], False))
put("archive", "inner-links", tar_gz([("./t", None, None), ("./t/f", "x", None), ("./t/up", None, "../t/f"),
                                      ("./in", None, "t")], False))

SYS = ("sys;A:R,G:R;node;;\nsys/wan;A:R,G:R;node;;\nsys/wan/mtu;A:RW,G:RW;uint;576-1500;k(WAN_MTU)\n"
       "sys/wan/mode;A:RW,G:RW;string;dhcp|static;v(dhcp)\nsys/wan/alias;A:R,G:R;string;;r(sys/wan/mode)\n"
       "sys/line;A:R,G:R;node;;\nsys/line/-1;A:RW,G:RW;node;;\n"
       "sys/line/-1/name;A:RW,G:RW;string;;k(LINE_NAME)split(,){$1}\n")
put("tree_file", "sys", b"\x02" + SYS.encode() + b"\0sys/wan/mtu;A:RW,G:RW;uint;;v(1400)\nsys/line/1;A:RW,G:RW;node;;\n")
put("tree_file", "cwmp", b"\x03" + b"InternetGatewayDevice;A:R,G:R;node;;\n"
    b"InternetGatewayDevice.DeviceInfo.UpTime;A:R,G:R;uint;;v(0)\n\0"
    b"InternetGatewayDevice.DeviceInfo.UpTime;A:R,G:R;uint;;v(7)\n")
put("tree_file", "key", b"\x00k(WAN_IF)split(;){#2}split(:){1}\n")

put("cb_file", "sys", "$so=libsc_sys.so\nsys/wan/mode;;;f(sys_wan_apply);;;f(sys_wan_verify_mode);;;wan\n"
    "sys/line/-1;;;;f(add);f(del);;;;\0$so=libsc_notify.so\nsys/wan/mtu;;active;f(mtu_changed);\n"
    "sys/line/-1/codec;;passive;f(codec);arg\n")
put("cb_file", "shell", "sys/wan/alias;;s(echo get);s(echo set);;;;;;\0sys/wan/mode;;passive;s(echo n);\n")

put("prop_file", "services", "service net /bin/net-up\n    oneshot\non property:sys.boot=1\n    start net\n"
    "    setprop persist.sys.ready 1\n    write /tmp/x 1\n\0sys.boot=1\nro.model = CPE\n# comment\n")
put("prop_file", "ctl", "service launcher /bin/launcher --a\n\0ctl.start=launcher\nnet.eth0=up\n")

put("file_backend", "lines", "WAN_MTU=1500\nLAN_IP=10.0.0.1\n# comment\n\nEMPTY=\nSPACED = a b\n")
put("file_backend", "odd", "noequals\n=novalue\nk=v=w\r\nlast=unterminated")

put("sc_reply", "int", record(37, "./sys/wan/mtu", "0 1400"))
put("sc_reply", "octal", record(33, "./sys/wan/mtu", "0 0644"))
put("sc_reply", "code", record(37, "./sys/x", "404"))
put("sc_reply", "text", record(34, "./sys/wan/mode", "0 dhcp|static"))
