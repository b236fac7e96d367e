#!/usr/bin/env python3
"""Creates the office benchmark folder: 2,400 documents of 20-200 KB, in equal shares .docx,
.xlsx, .pptx, .odt, .ods and .epub, plus a few plain zips. Their text is random words from a
small vocabulary, so a word such as "budget" is in most documents; about a third also carry a
picture-like member of random bytes. A folder that was finished before is reused.
"""
import os
import random
import shutil
import sys
import zipfile

WORDS = ("the of and report budget quarter plan sales total team review market north south "
         "project notes figure table summary draft final meeting agenda item value growth "
         "cost price client order stock travel policy risk").split()
COUNT = 2400
KINDS = ["docx", "xlsx", "pptx", "odt", "ods", "epub"]
# Characters of text per byte of finished file, measured on this generator's output.
TEXT_PER_BYTE = {"docx": 3.6, "xlsx": 3.0, "pptx": 1.7, "odt": 3.9, "ods": 3.8, "epub": 2.8}


def sentence(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n)).capitalize() + "."


def paragraphs(rng, size):
    out, total = [], 0
    while total < size:
        p = " ".join(sentence(rng, rng.randint(6, 14)) for _ in range(rng.randint(1, 4)))
        out.append(p)
        total += len(p)
    return out


def docx(z, paras):
    z.writestr("[Content_Types].xml", "<Types/>")
    z.writestr("_rels/.rels", "<Relationships/>")
    body = "".join(f'<w:p><w:pPr><w:pStyle w:val="Normal"/></w:pPr><w:r><w:rPr><w:lang w:val="en-GB"/>'
                   f'</w:rPr><w:t xml:space="preserve">{p}</w:t></w:r></w:p>' for p in paras)
    z.writestr("word/document.xml", '<?xml version="1.0" encoding="UTF-8"?><w:document xmlns:w='
               '"http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>'
               + body + "</w:body></w:document>")


def xlsx(z, paras):
    z.writestr("[Content_Types].xml", "<Types/>")
    z.writestr("xl/workbook.xml", "<workbook/>")
    ns = 'xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"'
    z.writestr("xl/sharedStrings.xml", f"<sst {ns}>" + "".join(f"<si><t>{p}</t></si>" for p in paras) + "</sst>")
    rows = "".join(f'<row r="{i + 1}"><c r="A{i + 1}" t="s"><v>{i}</v></c><c r="B{i + 1}"><v>{i * 7}</v></c></row>'
                   for i in range(len(paras)))
    z.writestr("xl/worksheets/sheet1.xml", f"<worksheet {ns}><sheetData>{rows}</sheetData></worksheet>")


def pptx(z, paras):
    z.writestr("[Content_Types].xml", "<Types/>")
    z.writestr("ppt/presentation.xml", "<p:presentation xmlns:p=\"urn:p\"/>")
    for n in range(0, len(paras), 8):
        shapes = "".join(f"<p:sp><p:txBody><a:p><a:r><a:rPr lang=\"en-GB\"/><a:t>{p}</a:t></a:r></a:p></p:txBody></p:sp>"
                         for p in paras[n:n + 8])
        z.writestr(f"ppt/slides/slide{n // 8 + 1}.xml",
                   '<p:sld xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main" '
                   'xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main"><p:cSld><p:spTree>'
                   + shapes + "</p:spTree></p:cSld></p:sld>")


def odf(z, paras, kind):
    z.writestr(zipfile.ZipInfo("mimetype"), f"application/vnd.oasis.opendocument.{kind}")
    if kind == "text":
        body = "<office:text>" + "".join(f'<text:p text:style-name="P1">{p}</text:p>' for p in paras) + "</office:text>"
    else:
        body = ("<office:spreadsheet><table:table>" + "".join(
            f"<table:table-row><table:table-cell><text:p>{p}</text:p></table:table-cell></table:table-row>"
            for p in paras) + "</table:table></office:spreadsheet>")
    z.writestr("content.xml", '<office:document-content xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
               'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
               'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"><office:body>'
               + body + "</office:body></office:document-content>")


def epub(z, paras):
    z.writestr(zipfile.ZipInfo("mimetype"), "application/epub+zip")
    z.writestr("META-INF/container.xml", '<container><rootfiles><rootfile full-path="OEBPS/content.opf"/>'
               "</rootfiles></container>")
    manifest, spine = "", ""
    for n in range(0, len(paras), 40):
        name = f"ch{n // 40 + 1}.xhtml"
        manifest += f'<item id="c{n}" href="{name}" media-type="application/xhtml+xml"/>'
        spine += f'<itemref idref="c{n}"/>'
        z.writestr("OEBPS/" + name, '<?xml version="1.0"?><html xmlns="http://www.w3.org/1999/xhtml"><head>'
                   "<title>Chapter</title></head><body>" + "".join(f"<p>{p}</p>" for p in paras[n:n + 40])
                   + "</body></html>")
    z.writestr("OEBPS/content.opf", f"<package><manifest>{manifest}</manifest><spine>{spine}</spine></package>")


def main():
    root = sys.argv[1]
    done = root.rstrip("/") + ".complete"
    if os.path.exists(done):
        return
    if os.path.exists(root):
        shutil.rmtree(root)
    print(f"creating {COUNT} office documents under {root} ...", file=sys.stderr, flush=True)
    rng = random.Random(20261207)
    for i in range(COUNT):
        kind = KINDS[i % len(KINDS)]
        folder = os.path.join(root, f"d{i // 100:02d}")
        os.makedirs(folder, exist_ok=True)
        target = rng.randint(20, 200) * 1024  # bytes of the finished file
        picture = rng.random() < 0.35
        text_share = target * (0.4 if picture else 1.0)
        paras = paragraphs(rng, int(text_share * TEXT_PER_BYTE[kind]))
        with zipfile.ZipFile(os.path.join(folder, f"file{i:04d}.{kind}"), "w", zipfile.ZIP_DEFLATED) as z:
            {"docx": lambda: docx(z, paras), "xlsx": lambda: xlsx(z, paras), "pptx": lambda: pptx(z, paras),
             "odt": lambda: odf(z, paras, "text"), "ods": lambda: odf(z, paras, "spreadsheet"),
             "epub": lambda: epub(z, paras)}[kind]()
            if picture:
                z.writestr(zipfile.ZipInfo("media/image1.png"), rng.randbytes(int(target * 0.6)))
    for i in range(20):  # plain archives stay bytes
        with zipfile.ZipFile(os.path.join(root, f"archive{i}.zip"), "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("notes.txt", "\n".join(paragraphs(rng, 80000)))
    open(done, "w").close()


if __name__ == "__main__":
    main()
