#include "win32/ui_dialog_template.h"

#include <algorithm>
#include <cstring>

namespace {

class Reader {
 public:
  Reader(const void* bytes, std::size_t size) : bytes_(static_cast<const BYTE*>(bytes)), size_(size) {}

  bool ok() const { return ok_; }

  template <typename T>
  T Read() {
    T value{};
    if (!ok_ || position_ > size_ || size_ - position_ < sizeof(T)) {
      ok_ = false;
      return value;
    }
    std::memcpy(&value, bytes_ + position_, sizeof(T));
    position_ += sizeof(T);
    return value;
  }

  std::wstring ReadString() {
    std::wstring text;
    for (WORD unit = Read<WORD>(); ok_ && unit != 0; unit = Read<WORD>()) text.push_back(static_cast<wchar_t>(unit));
    return text;
  }

  // A name or an ordinal (0xFFFF followed by the number); an empty field is an empty name.
  void ReadNameOrOrdinal(std::wstring& name, int& ordinal) {
    ordinal = -1;
    const WORD first = Read<WORD>();
    if (first == 0xFFFF) {
      ordinal = Read<WORD>();
      return;
    }
    if (first == 0) return;
    name.push_back(static_cast<wchar_t>(first));
    name += ReadString();
  }

  void AlignTo4() { position_ = (position_ + 3) & ~std::size_t{3}; }

  void Skip(std::size_t count) {
    if (position_ > size_ || size_ - position_ < count)
      ok_ = false;
    else
      position_ += count;
  }

 private:
  const BYTE* bytes_;
  std::size_t size_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

std::wstring PredefinedClassName(int ordinal) {
  switch (ordinal) {
    case 0x80:
      return L"Button";
    case 0x81:
      return L"Edit";
    case 0x82:
      return L"Static";
    case 0x83:
      return L"ListBox";
    case 0x84:
      return L"ScrollBar";
    case 0x85:
      return L"ComboBox";
    default:
      return L"#" + std::to_wstring(ordinal);
  }
}

}  // namespace

std::optional<DialogTemplate> ParseDialogTemplate(const void* bytes, std::size_t size) {
  if (bytes == nullptr) return std::nullopt;
  Reader in(bytes, size);
  DialogTemplate dialog;
  const WORD version = in.Read<WORD>();
  const WORD signature = in.Read<WORD>();
  if (version == 1 && signature == 0xFFFF) {
    dialog.extended = true;
    in.Read<DWORD>();  // help id
    dialog.exStyle = in.Read<DWORD>();
    dialog.style = in.Read<DWORD>();
  } else {
    dialog.style = MAKELONG(version, signature);
    dialog.exStyle = in.Read<DWORD>();
  }
  const WORD count = in.Read<WORD>();
  dialog.x = in.Read<short>();
  dialog.y = in.Read<short>();
  dialog.cx = in.Read<short>();
  dialog.cy = in.Read<short>();
  std::wstring menu, windowClass;
  int menuOrdinal = -1, classOrdinal = -1;
  in.ReadNameOrOrdinal(menu, menuOrdinal);
  in.ReadNameOrOrdinal(windowClass, classOrdinal);
  dialog.title = in.ReadString();
  if (dialog.style & (DS_SETFONT | DS_SHELLFONT)) {
    dialog.pointSize = in.Read<WORD>();
    if (dialog.extended) {
      dialog.weight = in.Read<WORD>();
      dialog.italic = in.Read<BYTE>();
      dialog.charset = in.Read<BYTE>();
    }
    dialog.typeface = in.ReadString();
  }
  for (WORD i = 0; i < count && in.ok(); ++i) {
    in.AlignTo4();
    TemplateControl control;
    if (dialog.extended) {
      in.Read<DWORD>();  // help id
      control.exStyle = in.Read<DWORD>();
      control.style = in.Read<DWORD>();
    } else {
      control.style = in.Read<DWORD>();
      control.exStyle = in.Read<DWORD>();
    }
    control.x = in.Read<short>();
    control.y = in.Read<short>();
    control.cx = in.Read<short>();
    control.cy = in.Read<short>();
    control.id = dialog.extended ? in.Read<DWORD>() : in.Read<WORD>();
    int classOrdinalOfControl = -1;
    in.ReadNameOrOrdinal(control.className, classOrdinalOfControl);
    if (classOrdinalOfControl >= 0) control.className = PredefinedClassName(classOrdinalOfControl);
    in.ReadNameOrOrdinal(control.text, control.textOrdinal);
    in.Skip(in.Read<WORD>());  // creation data
    dialog.controls.push_back(control);
  }
  if (!in.ok()) return std::nullopt;
  return dialog;
}

ResourceBytes FindResourceBytes(LPCWSTR type, WORD id, WORD language) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceExW(module, type, MAKEINTRESOURCEW(id), language);
  if (info == nullptr) return {};
  HGLOBAL handle = LoadResource(module, info);
  if (handle == nullptr) return {};
  return {LockResource(handle), SizeofResource(module, info)};
}

std::vector<WORD> ResourceLanguages(LPCWSTR type, WORD id) {
  std::vector<WORD> languages;
  EnumResourceLanguagesW(
      GetModuleHandleW(nullptr), type, MAKEINTRESOURCEW(id),
      [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) -> BOOL {
        reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&languages));
  std::sort(languages.begin(), languages.end());
  return languages;
}
