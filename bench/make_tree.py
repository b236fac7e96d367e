#!/usr/bin/env python3
"""Creates the benchmark tree: 100 x 100 folders of 100 empty files, 1,010,100 entries.

The names repeat a dozen words, so a word such as "report" hits about one file in twelve.
A tree that was finished before is reused; a partial one is removed and made again.
"""
import os
import shutil
import sys

WORDS = [("report", "txt"), ("photo", "jpg"), ("notes", "txt"), ("song", "mp3"),
         ("movie", "mp4"), ("index", "html"), ("budget", "xls"), ("slides", "ppt"),
         ("setup", "exe"), ("backup", "zip"), ("main", "c"), ("readme", "")]
TOP, SUB, FILES = 100, 100, 100


def main():
    root = sys.argv[1]
    done = root.rstrip("/") + ".complete"  # beside the tree, so it is no entry of it
    if os.path.exists(done):
        return
    if os.path.exists(root):
        shutil.rmtree(root)
    print(f"creating {TOP * SUB * FILES + TOP * SUB + TOP:,} entries under {root} ...",
          file=sys.stderr, flush=True)
    flags = os.O_CREAT | os.O_WRONLY | os.O_CLOEXEC
    for t in range(TOP):
        for s in range(SUB):
            folder = os.path.join(root, f"d{t:02d}", f"s{s:02d}")
            os.makedirs(folder)
            for f in range(FILES):
                word, ext = WORDS[(t * SUB * FILES + s * FILES + f) % len(WORDS)]
                name = f"{word}-{t}-{s}-{f}" + (f".{ext}" if ext else "")
                os.close(os.open(os.path.join(folder, name), flags, 0o644))
    open(done, "w").close()


if __name__ == "__main__":
    main()
