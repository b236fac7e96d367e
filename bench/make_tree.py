#!/usr/bin/env python3
"""Creates the benchmark trees.

  make_tree.py DIR          100 x 100 folders of 100 empty files, 1,010,100 entries. The names
                            repeat a dozen words, so a word such as "report" hits about one file
                            in twelve.
  make_tree.py --flat DIR   one folder of 5,000 text files of about 7 KB each, as a folder of
                            logs or mail would be; every eighth has a line with "copyright".
  make_tree.py --russian DIR  1,000 text files of about 40 KB in Russian, in twenty folders; every
                            eighth has a line with "Ошибка".

A tree that was finished before is reused; a partial one is removed and made again.
"""
import os
import random
import shutil
import sys

WORDS = [("report", "txt"), ("photo", "jpg"), ("notes", "txt"), ("song", "mp3"),
         ("movie", "mp4"), ("index", "html"), ("budget", "xls"), ("slides", "ppt"),
         ("setup", "exe"), ("backup", "zip"), ("main", "c"), ("readme", "")]
TOP, SUB, FILES = 100, 100, 100
FLAT_FILES, FLAT_WORDS = 5000, 1000
RUSSIAN = ("отчёт фото заметки песня фильм оглавление бюджет слайды установка копия "
           "программа описание работа время человек").split()
RUSSIAN_FILES, RUSSIAN_WORDS = 1000, 3000


def make_tree(root):
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


def make_flat(root):
    os.makedirs(root)
    rng = random.Random(1)
    for f in range(FLAT_FILES):
        words = [rng.choice(WORDS)[0] for _ in range(FLAT_WORDS)]
        lines = [" ".join(words[i:i + 12]) for i in range(0, len(words), 12)]
        if f % 8 == 0:
            lines.insert(len(lines) // 2, "Copyright 2026 the authors")
        with open(os.path.join(root, f"log-{f:04d}.txt"), "w") as out:
            out.write("\n".join(lines) + "\n")


def make_russian(root):
    rng = random.Random(1)
    for f in range(RUSSIAN_FILES):
        folder = os.path.join(root, f"d{f % 20:02d}")
        os.makedirs(folder, exist_ok=True)
        words = [rng.choice(RUSSIAN) for _ in range(RUSSIAN_WORDS)]
        lines = [" ".join(words[i:i + 10]).capitalize() for i in range(0, len(words), 10)]
        if f % 8 == 0:
            lines.insert(len(lines) // 2, "Ошибка: файл не найден")
        with open(os.path.join(folder, f"текст-{f:03d}.txt"), "w", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n")


def main():
    make = {"--flat": make_flat, "--russian": make_russian}.get(sys.argv[1], make_tree)
    root = sys.argv[-1]
    done = root.rstrip("/") + ".complete"  # beside the tree, so it is no entry of it
    if os.path.exists(done):
        return
    if os.path.exists(root):
        shutil.rmtree(root)
    make(root)
    open(done, "w").close()


if __name__ == "__main__":
    main()
