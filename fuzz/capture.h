// What a call writes to stderr, kept in memory: the fuzz targets check the
// messages of the code they drive rather than print them.
#ifndef LUMENFLIP_FUZZ_CAPTURE_H
#define LUMENFLIP_FUZZ_CAPTURE_H

#include <stdio.h>
#include <stdlib.h>

#include <string>

template <typename Call>
std::string captureStderr(Call call) {
  char* text = nullptr;
  size_t length = 0;
  FILE* capture = open_memstream(&text, &length);
  if (!capture) abort();
  FILE* const saved = stderr;
  stderr = capture;
  call();
  stderr = saved;
  fclose(capture);
  std::string said(text, length);
  free(text);
  return said;
}

#endif
