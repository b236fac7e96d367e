#!/usr/bin/env python3
"""Creates one folder of 5,000 text files of about 7 KB each, as a folder of logs or mail would be.

Every eighth file has a line with "copyright" in it; the rest hold a dozen plain words only.
A folder that was finished before is reused; a partial one is removed and made again.
"""
import os
import random
import shutil
import sys

WORDS = ["report", "photo", "notes", "song", "movie", "index", "budget", "slides", "setup",
         "backup", "main", "readme"]
FILES, WORDS_PER_FILE = 5000, 1000


def main():
    root = sys.argv[1]
    done = root.rstrip("/") + ".complete"  # beside the folder, so it is no entry of it
    if os.path.exists(done):
        return
    if os.path.exists(root):
        shutil.rmtree(root)
    os.makedirs(root)
    rng = random.Random(1)
    for f in range(FILES):
        words = [rng.choice(WORDS) for _ in range(WORDS_PER_FILE)]
        lines = [" ".join(words[i:i + 12]) for i in range(0, len(words), 12)]
        if f % 8 == 0:
            lines.insert(len(lines) // 2, "Copyright 2026 the authors")
        with open(os.path.join(root, f"log-{f:04d}.txt"), "w") as out:
            out.write("\n".join(lines) + "\n")
    open(done, "w").close()


if __name__ == "__main__":
    main()
