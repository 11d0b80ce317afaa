"""python -m quorvel: the same as the ``quorvel`` command."""

from quorvel.cli import main

if __name__ == "__main__":
    main()
