#!/usr/bin/python3
"""Writes the large update-info documents of the benchmark by hand, since
publishing hundreds of thousands of real files would take far longer than
the runs it prepares. Both are generation 2 documents as updater-publish
writes them.

  gen_document.py files DOCUMENT --count N --base-url URL --group-default D
      [--present DIR]
    N entries of empty files in one group "extras" whose default state is D.
    With --present, the empty files are created under DIR, so the updater
    finds every one up to date; without it they are missing, and with D = 0
    (group not wanted) the updater has nothing to download either way.

  gen_document.py groups DOCUMENT --count N --base-url URL --www WWW
      --present DIR --ini FILE
    N groups, each holding one small file. The files are created under DIR,
    their packs (compressed, not enciphered) under WWW/packs-groups, and FILE
    is an .updater.ini that selects every group.

Prints one line: "entries=N groups=N bytes=N" (bytes of the document).
"""
import argparse
import hashlib
import os
import zlib

EMPTY_SHA = hashlib.sha256(b"").hexdigest()
PER_DIR = 1000
HEADER = ('<?xml version="1.0" encoding="UTF-8"?>\n<update_info version="2">\n'
          '  <info AppName="Quillon" Author="Tessaworks" URL="http://www.example.com/quillon/"'
          ' FileBase="%s"/>\n')


def key_for(index):
    """A 16-character key of letters and digits, different for every entry."""
    digest = hashlib.sha256(b"key%d" % index).hexdigest()
    return digest[:16]


def file_line(path, size, url, group, key, sha, packsha):
    return ('    <file file="%s" size="%d" modes="420" url="%s" group="%s" key="%s" sha="%s"'
            ' packsha="%s"/>\n' % (path, size, url, group, key, sha, packsha))


def write_document(path, base_url, group_lines, file_lines):
    text = "".join([HEADER % base_url, "  <groups>\n"] + group_lines +
                   ["  </groups>\n  <files>\n"] + file_lines + ["  </files>\n</update_info>\n"])
    data = text.encode()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)
    return len(data)


def files_document(args):
    group_lines = ['    <group name="extras" dispName="Extras" priority="10" default="%d"/>\n'
                   % args.group_default]
    file_lines = []
    for index in range(args.count):
        path = "x%03d/e%07d.dat" % (index // PER_DIR, index)
        packsha = hashlib.sha256(b"pack%d" % index).hexdigest()
        file_lines.append(file_line(path, 0, path + ".pak", "extras", key_for(index), EMPTY_SHA,
                                    packsha))
        if args.present:
            folder = os.path.join(args.present, os.path.dirname(path))
            if index % PER_DIR == 0:
                os.makedirs(folder, exist_ok=True)
            open(os.path.join(args.present, path), "wb").close()
    size = write_document(args.document, args.base_url, group_lines, file_lines)
    print("entries=%d groups=1 bytes=%d" % (args.count, size))


def groups_document(args):
    group_lines, file_lines, ini_lines = [], [], ["[groups]"]
    pack_dir = os.path.join(args.www, "packs-groups")
    os.makedirs(pack_dir, exist_ok=True)
    for index in range(args.count):
        name = "g%05d" % index
        # Priorities repeat so that the sort compares display names as well.
        group_lines.append('    <group name="%s" dispName="Group %05d" priority="%d" default="1"/>\n'
                           % (name, index, index % 97))
        path = "g%03d/%s.txt" % (index // PER_DIR, name)
        content = b"group %d\n" % index
        pack = zlib.compress(content)
        folder = os.path.join(args.present, os.path.dirname(path))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(args.present, path), "wb") as out:
            out.write(content)
        with open(os.path.join(pack_dir, name + ".txt.pak"), "wb") as out:
            out.write(pack)
        file_lines.append(file_line(path, len(content), name + ".txt.pak", name, "",
                                    hashlib.sha256(content).hexdigest(),
                                    hashlib.sha256(pack).hexdigest()))
        ini_lines.append("%s=1" % name)
    size = write_document(args.document, args.base_url + "packs-groups/", group_lines, file_lines)
    with open(args.ini, "wb") as out:  # as the updater writes it: CR LF, no blanks
        out.write(("\r\n".join(ini_lines) + "\r\n").encode())
    print("entries=%d groups=%d bytes=%d" % (args.count, args.count, size))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("kind", choices=["files", "groups"])
    parser.add_argument("document")
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--base-url", required=True)
    parser.add_argument("--group-default", type=int, default=0)
    parser.add_argument("--present")
    parser.add_argument("--www")
    parser.add_argument("--ini")
    args = parser.parse_args()
    if args.kind == "files":
        files_document(args)
    elif args.www and args.present and args.ini:
        groups_document(args)
    else:
        parser.error("groups needs --www, --present and --ini")


if __name__ == "__main__":
    main()
