// The window components the installer's forms are made of, by name and kind, as the language
// file addresses them, and menus with named items.
#pragma once

#include <deque>
#include <vector>

#include "common/text.h"
#include "win32/user.h"

enum class TControlKind {
  Button,
  BitBtn,
  Label,
  CheckBox,
  TabSheet,
  Edit,
  GroupBox,
  Image,
  ListBox,
  ComboBox,  // a drop-down list
  ProgressBar,
  Timer
};

// Where a control lies in its form (left, top, width, height).
struct TBounds {
  int Left = 0, Top = 0, Width = 0, Height = 0;
};

struct TComponent {
  WStr Name;
  TControlKind Kind = TControlKind::Label;
  HWND Handle = nullptr;  // none for components without a window (timers)
  WStr Hint;
  bool TabVisible = true;  // tab sheets only

  bool IsVisual() const { return Kind != TControlKind::Timer; }
  void SetCaption(const WStr& text) const {
    if (Handle) SetWindowTextW(Handle, text.c_str());
  }
};

class TForm {
 public:
  HWND Handle = nullptr;
  std::deque<TComponent> Components;  // in component order; adding keeps references valid

  void SetCaption(const WStr& text) const {
    if (Handle) SetWindowTextW(Handle, text.c_str());
  }
  // A child control of the form (the window class by the kind), visible, at `bounds`; returns its
  // component. Its control id is its position in the component list plus one. On the simulated
  // machine the control carries its name for the scripted user ("click Image1").
  TComponent& AddControl(const WStr& name, TControlKind kind, const WStr& caption = {}, TBounds bounds = {});
};

struct TMenuItem {
  WStr Name;
  UINT_PTR Command = 0;
  bool IsSeparator() const;
};

class TMenu {
 public:
  TMenu();
  ~TMenu();
  TMenu(const TMenu&) = delete;
  TMenu& operator=(const TMenu&) = delete;

  HMENU Handle() const { return m_Handle; }
  int Count() const { return static_cast<int>(m_Items.size()); }
  const TMenuItem& Item(int i) const { return m_Items[static_cast<size_t>(i)]; }
  WStr Caption(int i) const;
  void Add(const WStr& name, const WStr& caption);  // caption "-" makes a separator
  void SetCaption(int i, const WStr& caption);
  void Delete(int i);

 private:
  HMENU m_Handle;
  std::vector<TMenuItem> m_Items;
  UINT_PTR m_NextCommand = 100;
};
