/* A DLL that tests plant beside the updater under well-known system names
   (version.dll, comctl32.dll...). Loading it leaves "<its path>.loaded"
   behind, so a test can tell that the loader took it from the wrong folder.
   The exports give a static importer something to bind to, so even such a
   load reaches DllMain instead of failing before it. */
#include <windows.h>

static DWORD WINAPI PlantedZero(void) { return 0; }

DWORD WINAPI PlantedZero1(void* a) {
  (void)a;
  return PlantedZero();
}
DWORD WINAPI PlantedZero2(void* a, void* b) {
  (void)a;
  (void)b;
  return PlantedZero();
}
DWORD WINAPI PlantedZero4(void* a, void* b, void* c, void* d) {
  (void)a;
  (void)b;
  (void)c;
  (void)d;
  return PlantedZero();
}
void WINAPI PlantedVoid(void) {}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(instance, path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      lstrcatA(path, ".loaded");
      HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
      if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
  }
  return TRUE;
}
