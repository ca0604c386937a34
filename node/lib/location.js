// Where the program is, relative to this file's directory. null in the source tree and in an npm install;
// `cmake --install` puts a copy here that names the program it installs beside the package.
export const PROGRAM = null;
