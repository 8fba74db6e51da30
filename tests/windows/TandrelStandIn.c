/* A stand-in for the game client: notes in its current folder that it was
   started, then ends. */
#include <stdio.h>

int main(void) {
  FILE* log = fopen("client-started.log", "ab");
  if (log == NULL) {
    return 1;
  }
  fputs("started\n", log);
  return fclose(log) == 0 ? 0 : 1;
}
