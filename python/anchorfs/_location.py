# Where the program is, relative to this package's directory. None in the source tree and in a pip
# install; `cmake --install` puts a copy here that names the program it installs beside the package.
PROGRAM: str | None = None
