#!/usr/bin/env python3
"""Creates the PDF benchmark folder: 500 PDFs of 1-50 pages in 10 folders, their page streams
deflated, text of random words; one in ten holds "Kingfisher" on a random page. A folder that
was finished before is reused.
"""
import os
import random
import sys
import zlib

WORDS = ("the of and report budget quarter plan sales total team review market north south "
         "project notes figure table summary draft final meeting agenda item value").split()
COUNT = 500


def pdf(pages):
    objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"",
            b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    kids = []
    for lines in pages:
        page = len(objs) + 1
        kids.append(b"%d 0 R" % page)
        objs.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font "
                    b"<< /F1 3 0 R >> >> /Contents %d 0 R >>" % (page + 1))
        body = b"BT /F1 10 Tf 12 TL 50 750 Td " + b" ".join(
            b"(" + line.encode() + b") ' " for line in lines) + b"ET"
        data = zlib.compress(body)
        objs.append(b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(data) + data +
                    b"\nendstream")
    objs[1] = b"<< /Type /Pages /Kids [" + b" ".join(kids) + b"] /Count %d >>" % len(pages)
    parts, offsets, size = [b"%PDF-1.4\n"], [], 9
    for i, o in enumerate(objs):
        offsets.append(size)
        chunk = b"%d 0 obj\n" % (i + 1) + o + b"\nendobj\n"
        parts.append(chunk)
        size += len(chunk)
    xref = [b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)]
    xref += [b"%010d 00000 n \n" % at for at in offsets]
    parts += xref
    parts.append(b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" %
                 (len(objs) + 1, size))
    return b"".join(parts)


def main(root):
    done = os.path.join(root, ".done")
    if os.path.exists(done):
        return
    rng = random.Random(7)
    for i in range(COUNT):
        folder = os.path.join(root, "f%02d" % (i % 10))
        os.makedirs(folder, exist_ok=True)
        pages = [[" ".join(rng.choice(WORDS) for _ in range(12)) for _ in range(50)]
                 for _ in range(rng.randint(1, 50))]
        if i % 10 == 3:
            pages[rng.randrange(len(pages))][rng.randrange(50)] += " Kingfisher Ltd"
        with open(os.path.join(folder, "doc%03d.pdf" % i), "wb") as out:
            out.write(pdf(pages))
    open(done, "w").close()


if __name__ == "__main__":
    main(sys.argv[1])
