"""A small typed use of Vostrel, checked by mypy against the module's stubs."""
from __future__ import annotations

from Vostrel import Index, Indexable, PyQueryExpr


class Song(Indexable):
    pass


def long_songs(library: Index, seconds: int) -> list[Song]:
    view = library.reduced_query(PyQueryExpr.and_(PyQueryExpr.gt("length", seconds), PyQueryExpr.ne("genre", "jingle")))
    return [song for song in view.collect() if isinstance(song, Song)]


def main() -> None:
    library = Index()
    library.add_object_many([Song(title="a", length=200, genre="rock"), Song(title="b", length=20, genre="jingle")])
    shelf: Index = library.reduced(genre="rock").rebase()
    titles: list[str] = [song.title for song in long_songs(shelf, 60)]
    print(titles, library.get_by_attribute(genre="rock"))


if __name__ == "__main__":
    main()
