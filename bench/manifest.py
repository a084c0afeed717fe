#!/usr/bin/python3
"""Reads a generation 2 update-info document and writes what the yardsticks
need: the manifest of bench-unpack (PATH PACK KEY SIZE MODE SHA256, tab
separated, PACK being the file name part of the pack's URL, as the updater
stores it) and a curl config that downloads the document and every pack into
one directory.

Usage: manifest.py DOCUMENT DOCUMENT_URL MANIFEST CURL_CONFIG DOWNLOAD_DIR
Prints one line: "files=N".
"""
import sys
import xml.etree.ElementTree as ElementTree


def pack_url(file_base, url):
    lowered = url.lower()
    if not lowered.startswith(("http://", "https://", "ftp://")):
        url = file_base + url
    return url.replace(" ", "%20")


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main():
    if len(sys.argv) != 6:
        sys.exit("usage: manifest.py DOCUMENT DOCUMENT_URL MANIFEST CURL_CONFIG DOWNLOAD_DIR")
    document, document_url, manifest, config, download_dir = sys.argv[1:]
    root = ElementTree.parse(document).getroot()
    if root.tag != "update_info" or int(root.get("version", "0")) < 2:
        sys.exit("manifest.py: %s is not a generation 2 update-info document" % document)
    file_base = root.find("info").get("FileBase", "")
    entries = list(root.find("files"))
    seen = set()
    with open(manifest, "w") as lines, open(config, "w") as curl:
        curl.write("url = %s\noutput = %s\n" % (quoted(document_url),
                                                 quoted(download_dir + "/document.info")))
        for entry in entries:
            url = pack_url(file_base, entry.get("url"))
            pack = url.rsplit("/", 1)[-1]
            if pack in seen:
                sys.exit("manifest.py: two packs are named %s" % pack)
            seen.add(pack)
            fields = [entry.get("file"), pack, entry.get("key", ""), entry.get("size", "0"),
                      entry.get("modes", "0"), entry.get("sha")]
            if any("\t" in field or "\n" in field for field in fields):
                sys.exit("manifest.py: a field of %s holds a tab or line feed" % fields[0])
            lines.write("\t".join(fields) + "\n")
            curl.write("url = %s\noutput = %s\n" % (quoted(url), quoted(download_dir + "/" + pack)))
    print("files=%d" % len(entries))


if __name__ == "__main__":
    main()
