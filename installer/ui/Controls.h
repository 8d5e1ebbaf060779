// The window components the installer's forms are made of, by name and kind, as the language
// file addresses them, and menus with named items.
//
// Windowed components (list box, combo box, progress bar, buttons, edits) are the system's
// controls. Images and labels are drawn by their form, as the classic graphic controls are, on
// windows of their own that take the mouse and carry the name: the form paints the pictures and
// texts in component order, so a picture shows through where a later one is transparent.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "common/text.h"
#include "win32/gdi.h"
#include "win32/user.h"

class TForm;

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
  ComboBox,
  ProgressBar,
  Timer
};

// Where a control lies in its form (left, top, width, height).
struct TBounds {
  int Left = 0, Top = 0, Width = 0, Height = 0;
};

// What the mouse did on a graphic control; the form hears of it.
enum class TControlEvent { MouseEnter, MouseLeave, MouseDown, Click };

// A picture ready for drawing: the pixels and the bitmap made of them on first use.
struct TGraphic;

struct TComponent {
  WStr Name;
  TControlKind Kind = TControlKind::Label;
  HWND Handle = nullptr;  // none for components without a window (timers)
  WStr Hint;
  bool TabVisible = true;  // tab sheets only
  int Tag = 0;
  TForm* Owner = nullptr;  // the form that made it
  bool Hot = false;        // graphic controls: the pointer is over it
  TBounds Place;           // where it lies in the form

  // Graphic controls: how they draw.
  bool Stretch = false;      // the picture fills the bounds
  bool Center = false;       // an unstretched picture sits in the middle
  bool HandPointer = false;  // the pointer over it is a hand
  bool CenterText = false;   // labels: the text is centred
  int FontHeight = -11;      // labels: Tahoma of this height (negative: character height in pixels)
  std::shared_ptr<TGraphic> Picture;

  bool IsVisual() const { return Kind != TControlKind::Timer; }
  bool IsGraphic() const { return Kind == TControlKind::Image || Kind == TControlKind::Label; }
  void SetCaption(const WStr& text) const {
    if (Handle) SetWindowTextW(Handle, text.c_str());
  }

  // Position in the form's client area.
  void SetBounds(int left, int top, int width, int height);
  RECT Bounds() const;
  void SetVisible(bool visible) const;
  bool Visible() const;
  void SetEnabled(bool enabled) const;
  bool Enabled() const;
  // Images: the picture of a file; false (the picture unchanged) when it cannot be read.
  bool LoadPicture(const WStr& path);
  bool HasPicture() const;

  // List boxes and combo boxes: their items; combo boxes: the chosen one (-1: none).
  void ClearItems() const;
  void AddItem(const WStr& text) const;
  int ItemCount() const;
  WStr ItemText(int index) const;
  int ItemIndex() const;
  void SetItemIndex(int index) const;
  // Progress bars.
  void SetPosition(int position) const;
  void SetRange(int low, int high) const;
};

class TForm {
 public:
  virtual ~TForm() = default;
  HWND Handle = nullptr;
  std::deque<TComponent> Components;  // in component order; adding keeps references valid

  void SetCaption(const WStr& text) const {
    if (Handle) SetWindowTextW(Handle, text.c_str());
  }
  // A child control of the form (the window class by the kind), visible, at `bounds`; returns its
  // component. Its control id is its position in the component list plus one. On the simulated
  // machine the control carries its name for the scripted user ("click Image1").
  TComponent& AddControl(const WStr& name, TControlKind kind, const WStr& caption = {}, TBounds bounds = {});
  TComponent* FindComponent(WStrView name);

  // Draws the graphic controls, in component order, on the form's device context.
  void PaintGraphicControls(HDC dc);
  // Whether the pointer shows the hourglass over the whole form.
  bool Busy = false;

 protected:
  // The mouse on a graphic control; `at` is in the control's own coordinates.
  virtual void ControlEvent(TComponent& /*c*/, TControlEvent /*event*/, POINT /*at*/) {}

 private:
  static LRESULT CALLBACK GraphicProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
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
