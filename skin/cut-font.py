#!/usr/bin/python3
"""Cuts the skin's own font out of a font collection.

usage: cut-font.py COLLECTION SOURCE_FAMILY FAMILY OUTPUT TEXT_FILE...

Takes the face of COLLECTION (a .ttc file) whose family is SOURCE_FAMILY,
keeps the glyphs of printable ASCII, of Latin-1 and of every other
character that appears in a TEXT_FILE (the program's sources and the skin,
which hold all of the window's texts), and writes them to OUTPUT as an
OpenType font of the family FAMILY, with the face's style, outlines,
metrics, layout features, copyright and licence as they were.

The window then draws its texts from a file of about 100 KB instead of the
whole collection (some 20 MB, whose glyph tables the text libraries read
into memory on first use); a character that the cut leaves out, as in an
unusual file name, still comes from the desktop's fonts.

The build runs it with the system's Python: fontTools comes from Debian's
python3-fonttools.
"""

import sys

from fontTools import subset
from fontTools.ttLib import TTFont, TTLibError

FAMILY_IDS = (1, 16)  # family, typographic family
STYLE_IDS = (2, 17)  # subfamily, typographic subfamily


def name_of(font, name_id):
    record = font["name"].getName(name_id, 3, 1, 0x409)
    return record.toUnicode() if record is not None else None


def find_face(collection, family):
    """The face of the collection whose family is FAMILY."""
    number = 0
    while True:
        try:
            face = TTFont(collection, fontNumber=number, lazy=True)
        except TTLibError:
            sys.exit(f"cut-font: no face of the family {family!r} in {collection}")
        found = family in (name_of(face, i) for i in FAMILY_IDS)
        face.close()
        if found:
            return TTFont(collection, fontNumber=number)
        number += 1


def characters(text_files):
    wanted = set(range(0x20, 0x7F)) | set(range(0xA0, 0x100))
    for path in text_files:
        with open(path, encoding="utf-8") as text:
            wanted.update(ord(c) for c in text.read() if ord(c) > 0x7F)
    return wanted


def rename(font, family):
    """Gives the cut its own family, so that it never stands in for the
    whole font on the desktop, and keeps the face's style."""
    style = name_of(font, 17) or name_of(font, 2) or "Regular"
    postscript = (family + "-" + style).replace(" ", "")
    table = font["name"]
    for record in list(table.names):
        if record.nameID in FAMILY_IDS + STYLE_IDS + (3, 4, 6):
            table.removeNames(nameID=record.nameID)
    for platform, encoding, language in ((3, 1, 0x409), (1, 0, 0)):
        for name_id, value in (
            (1, family),
            (2, style),
            (3, postscript),
            (4, f"{family} {style}"),
            (6, postscript),
        ):
            table.setName(value, name_id, platform, encoding, language)
    if "CFF " in font:
        cff = font["CFF "].cff
        top = cff[cff.fontNames[0]]
        cff.fontNames = [postscript]
        top.FamilyName = family
        top.FullName = f"{family} {style}"


def main():
    if len(sys.argv) < 6:
        sys.exit(__doc__)
    collection, source_family, family, output, *text_files = sys.argv[1:]
    font = find_face(collection, source_family)
    options = subset.Options()
    options.layout_features = ["*"]
    options.name_IDs = ["*"]
    options.name_languages = ["*"]
    options.notdef_outline = True
    subsetter = subset.Subsetter(options)
    subsetter.populate(unicodes=characters(text_files))
    subsetter.subset(font)
    rename(font, family)
    font.save(output)


if __name__ == "__main__":
    main()
