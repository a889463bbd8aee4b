#include <windows.h>

#include <memory>

#include "platform/exe_version.h"
#include "platform/os_error.h"
#include "platform/win_text.h"

namespace tallyx {
namespace {

struct Field {
  const char16_t* suffix;
  std::u16string TEXEVersionData::*member;
};

constexpr Field kFields[] = {
    {u"\\CompanyName", &TEXEVersionData::CompanyName},
    {u"\\FileDescription", &TEXEVersionData::FileDescription},
    {u"\\FileVersion", &TEXEVersionData::FileVersion},
    {u"\\InternalName", &TEXEVersionData::InternalName},
    {u"\\LegalCopyright", &TEXEVersionData::LegalCopyright},
    {u"\\LegalTrademarks", &TEXEVersionData::LegalTrademarks},
    {u"\\OriginalFileName", &TEXEVersionData::OriginalFileName},
    {u"\\ProductName", &TEXEVersionData::ProductName},
    {u"\\ProductVersion", &TEXEVersionData::ProductVersion},
    {u"\\Comments", &TEXEVersionData::Comments},
    {u"\\PrivateBuild", &TEXEVersionData::PrivateBuild},
    {u"\\SpecialBuild", &TEXEVersionData::SpecialBuild},
};

struct Translation {
  WORD language;
  WORD codePage;
};

}  // namespace

TEXEVersionData WinExeVersion::GetExeVersionData(const std::u16string& path) {
  DWORD unused = 0;
  const DWORD size = GetFileVersionInfoSizeW(W(path), &unused);
  if (size == 0) RaiseLastOSError();
  const auto buffer = std::make_unique<BYTE[]>(size);
  if (!GetFileVersionInfoW(W(path), 0, size, buffer.get())) RaiseLastOSError();

  void* table = nullptr;
  UINT tableLength = 0;
  if (!VerQueryValueW(buffer.get(), L"\\VarFileInfo\\Translation\\", &table, &tableLength))
    RaiseLastOSError();
  // A table too short for one entry names no block; reading it would run past it.
  if (tableLength < sizeof(Translation)) throw OSErrorFromCode(ERROR_RESOURCE_TYPE_NOT_FOUND);
  Translation first;
  memcpy(&first, table, sizeof(first));
  const std::u16string block =
      u"\\StringFileInfo\\" + TranslationKey(first.language, first.codePage);

  // A stored value need not hold its NUL: never read past the end of the block.
  const auto* const end = reinterpret_cast<const wchar_t*>(buffer.get() + size);
  TEXEVersionData data;
  for (const Field& field : kFields) {
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(buffer.get(), W(block + field.suffix), &value, &length) || !value)
      continue;
    const auto* const text = static_cast<const wchar_t*>(value);
    if (text < reinterpret_cast<const wchar_t*>(buffer.get()) || text >= end) continue;
    data.*field.member = FromW(text, wcsnlen(text, end - text));
  }
  return data;
}

}  // namespace tallyx
