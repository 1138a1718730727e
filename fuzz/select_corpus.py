#!/usr/bin/env python3
"""Picks the committed corpus (fuzz/corpus) from a large fuzzing corpus.

    python3 fuzz/select_corpus.py build/fuzz/vorn_fuzz_engine CORPUS_DIR... [count]

libFuzzer's merge step reports the coverage edges of every input; inputs are
chosen greedily by the edges they add, and the chosen ones are joined into
`count` files (40 by default). Joining works because an input is a program
of operations: the 8 seed bytes of every joined part but the first are
dropped and its operations follow those of the previous part.
"""

import hashlib
import os
import subprocess
import sys
import tempfile


def main():
    fuzzer, sources = sys.argv[1], sys.argv[2:]
    count = int(sources.pop()) if sources and sources[-1].isdigit() else 40
    target = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    with tempfile.TemporaryDirectory() as tmp:
        control = os.path.join(tmp, "control")
        os.mkdir(os.path.join(tmp, "out"))
        subprocess.run([fuzzer, "-merge=1", f"-merge_control_file={control}",
                        os.path.join(tmp, "out"), *sources],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        lines = open(control).read().split("\n")
        n = int(lines[0])
        files = lines[2:2 + n]
        edges = {}
        for line in lines[2 + n:]:
            parts = line.split()
            if parts and parts[0] == "COV":
                edges[int(parts[1])] = set(map(int, parts[2:]))
    covered, chosen = set(), []
    while edges:
        best = max(edges, key=lambda i: (len(edges[i] - covered), -os.path.getsize(files[i])))
        if not edges[best] - covered:
            break
        chosen.append(best)
        covered |= edges.pop(best)
    # Keep each joined file within the decoder's operation limit.
    per_file = max(1, -(-len(chosen) // count))
    for name in os.listdir(target):
        os.remove(os.path.join(target, name))
    for k in range(0, len(chosen), per_file):
        data = b""
        for j, i in enumerate(chosen[k:k + per_file]):
            part = open(files[i], "rb").read()
            data += part if j == 0 else part[8:]
        name = hashlib.sha1(data).hexdigest()[:16]
        with open(os.path.join(target, name), "wb") as f:
            f.write(data)
    print(f"{len(chosen)} inputs cover {len(covered)} edges; wrote {len(os.listdir(target))} files")


if __name__ == "__main__":
    main()
