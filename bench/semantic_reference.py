"""Times the Python reference stack (sentence-transformers) on the same inputs as bench_semantic.

usage: semantic_reference.py MODEL_DIR TEXTS_FILE
"""
import sys
import time

import torch
from sentence_transformers import SentenceTransformer


def main() -> int:
    model_dir, texts_file = sys.argv[1], sys.argv[2]
    torch.set_num_threads(2)
    t0 = time.perf_counter()
    model = SentenceTransformer(model_dir, device="cpu")
    load = time.perf_counter() - t0
    s = ["The weather is lovely today.", "It's so sunny outside!", "He drove to the stadium."]
    v = model.encode(s, normalize_embeddings=True)
    print(f"reference similarities: {v[0] @ v[1]:.4f} {v[0] @ v[2]:.4f} {v[1] @ v[2]:.4f}")
    with open(texts_file, encoding="utf-8") as f:
        texts = [line.rstrip("\n") for line in f]
    model.encode(texts[:64], batch_size=32)
    for bs in (1, 32):
        t0 = time.perf_counter()
        model.encode(texts, batch_size=bs, normalize_embeddings=True)
        dt = time.perf_counter() - t0
        print(f"python reference: batch {bs:2d}: {len(texts) / dt:7.1f} texts/s ({dt:.2f} s for {len(texts)})")
    t0 = time.perf_counter()
    for i in range(20):
        model.encode([f"how do I restore a backup {i}"], normalize_embeddings=True)
    print(f"python reference: one query: {(time.perf_counter() - t0) / 20 * 1000:.1f} ms; model load {load * 1000:.0f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
