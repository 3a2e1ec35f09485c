"""A short tour of Vostrel as it stands: the module, its classes and the argument conventions."""
import time

import Vostrel


def main() -> None:
    print("Vostrel exports:", ", ".join(Vostrel.__all__))
    print("sum_as_string(2, 3) =", Vostrel.sum_as_string(2, 3))
    print("sum_as_string(2**64 - 1, 1) =", Vostrel.sum_as_string(2**64 - 1, 1), "(wraps modulo 2**64)")

    class Book(Vostrel.Indexable):
        pass

    start = time.perf_counter()
    books = [Book(title=f"book {i}", year=1900 + i % 120) for i in range(100_000)]
    elapsed = time.perf_counter() - start
    print(f"created {len(books):,} Indexable records in {elapsed * 1000:.1f} ms")
    print("Index() ->", type(Vostrel.Index()).__name__)

    try:
        Vostrel.sum_as_string("x", 1)
    except TypeError as e:
        print("argument errors name the argument:", e)


if __name__ == "__main__":
    main()
