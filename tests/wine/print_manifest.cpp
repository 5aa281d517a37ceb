// Prints a program's own manifest, the resource Windows reads when the
// program starts (resource 1 of type RT_MANIFEST); exits 1 when it has none.
//   print_manifest PROGRAM
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: print_manifest PROGRAM\n", stderr);
    return 2;
  }
  HMODULE program =
      LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  HRSRC found = program != nullptr ? FindResourceW(program, MAKEINTRESOURCEW(1), RT_MANIFEST) : nullptr;
  const void* bytes = found != nullptr ? LockResource(LoadResource(program, found)) : nullptr;
  if (bytes == nullptr) {
    std::fprintf(stderr, "no manifest in %ls (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  _setmode(_fileno(stdout), _O_BINARY);
  std::fwrite(bytes, 1, SizeofResource(program, found), stdout);
  return 0;
}
