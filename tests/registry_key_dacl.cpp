// Reads or sets the access list of a key below HKEY_LOCAL_MACHINE, as SDDL,
// for the call trace test: "D:(A;;KR;;;WD)" leaves everyone only reading the
// key, as the machine's Root store is for a user who is not an administrator.
// Usage: registry_key_dacl <subkey> [<sddl>]; without one, prints the current.
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) {
    fputs("usage: registry_key_dacl <subkey of HKLM> [<SDDL>]\n", stderr);
    return 2;
  }
  HKEY key = nullptr;
  LONG status =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, argc == 3 ? WRITE_DAC : READ_CONTROL, &key);
  if (status != ERROR_SUCCESS) {
    fprintf(stderr, "cannot open the key: %ld\n", status);
    return 1;
  }
  if (argc == 2) {
    DWORD size = 0;
    RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    std::vector<BYTE> descriptor(size);
    status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(), &size);
    wchar_t* text = nullptr;
    if (status != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
      fprintf(stderr, "cannot read the access list: %ld\n", status);
      return 1;
    }
    printf("%ls\n", text);
    LocalFree(text);
    RegCloseKey(key);
    return 0;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[2], SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    fprintf(stderr, "not an SDDL string: %lu\n", GetLastError());
    return 1;
  }
  status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    fprintf(stderr, "cannot set the access list: %ld\n", status);
    return 1;
  }
  return 0;
}
