// The retained form model: named components with the properties the control uses, and
// event handlers by name. The control's code reads and writes components by their form
// names; hosts (the Qt viewer, the CLI, tests) observe changes and feed user input back.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bitmap.h"

namespace tessomar::platform {

enum class ComponentKind {
  Form,
  Timer,
  Label,
  Image,
  Button,
  Edit,
  LabeledEdit,
  ComboBox,
  CheckBox,
  Memo,
  ProgressBar,
  ScrollBar,
  PageControl,
  TabSheet,
  Panel,
};

const char* component_kind_name(ComponentKind kind);

enum class Property {
  Caption,
  Enabled,
  Visible,
  Items,
  ItemIndex,
  Checked,
  Tag,
  Geometry,
  MaxLength,
  PasswordChar,
  Position,
  Range,
  Interval,
  Picture,
  LabelCaption,
};

struct Geometry {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Geometry&) const = default;
};

// Arguments of a component event; each event uses the fields that apply to it.
struct Event {
  int x = 0;
  int y = 0;
  int button = 0;  // 0 left, 1 right, 2 middle
  int shift = 0;   // modifier bits
  int key = 0;     // key press: in/out character code
};

using Handler = std::function<void(Event&)>;

class Form;

class Component {
 public:
  Component(Form* form, std::string name, ComponentKind kind, std::string parent);

  const std::string& name() const { return name_; }
  ComponentKind kind() const { return kind_; }
  const std::string& parent() const { return parent_; }

  // Caption of labels, buttons and tab sheets; text of edits, combo boxes and memos.
  const std::string& caption() const { return caption_; }
  void set_caption(std::string_view text);
  bool enabled() const { return enabled_; }
  void set_enabled(bool v);
  bool visible() const { return visible_; }
  void set_visible(bool v);
  const std::vector<std::string>& items() const { return items_; }
  void set_items(std::vector<std::string> items);
  int item_index() const { return item_index_; }
  void set_item_index(int i);
  bool checked() const { return checked_; }
  void set_checked(bool v);
  int32_t tag() const { return tag_; }
  void set_tag(int32_t v);
  const Geometry& geometry() const { return geometry_; }
  void set_geometry(const Geometry& g);
  int max_length() const { return max_length_; }
  void set_max_length(int v);
  char password_char() const { return password_char_; }
  void set_password_char(char c);
  // The text beside a labeled edit ("Remote IP : ").
  const std::string& label_caption() const { return label_caption_; }
  void set_label_caption(std::string_view text);
  int position() const { return position_; }
  void set_position(int v);
  int min() const { return min_; }
  int max() const { return max_; }
  void set_range(int min, int max);
  int interval_ms() const { return interval_ms_; }
  void set_interval_ms(int v);

  // Picture of an image component. Code may draw into it directly and then call
  // picture_changed() so that observers repaint.
  Bitmap& picture() { return picture_; }
  const Bitmap& picture() const { return picture_; }
  void picture_changed();

  void on(std::string_view event, Handler handler);
  bool has_handler(std::string_view event) const;
  // Runs the handler of that event; returns false when none is attached.
  bool fire(std::string_view event, Event& args);
  bool fire(std::string_view event) {
    Event e;
    return fire(event, e);
  }

 private:
  friend class Form;
  void changed(Property p);

  Form* form_;
  std::string name_;
  ComponentKind kind_;
  std::string parent_;
  std::string caption_;
  bool enabled_ = true;
  bool visible_ = true;
  std::vector<std::string> items_;
  int item_index_ = -1;
  bool checked_ = false;
  int32_t tag_ = 0;
  Geometry geometry_;
  int max_length_ = 0;
  char password_char_ = 0;
  std::string label_caption_;
  int position_ = 0;
  int min_ = 0;
  int max_ = 100;
  int interval_ms_ = 0;
  Bitmap picture_;
  std::map<std::string, Handler, std::less<>> handlers_;
};

// One row of a form description: the component, its kind, its parent and its initial state.
struct ComponentSpec {
  const char* name;
  ComponentKind kind;
  const char* parent;  // "" for children of the form itself
  Geometry geometry;
  const char* caption = "";
  bool visible = true;
  bool enabled = true;
  int interval_ms = 0;     // timers only
  const char* label = "";  // labeled edits only
  char password_char = 0;  // edits only
};

class Form {
 public:
  using Observer = std::function<void(Component&, Property)>;

  Form() = default;
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  // Builds the components of a description in order; names must be unique.
  void build(const ComponentSpec* rows, size_t count);
  Component& add(const ComponentSpec& row);

  // The named component; a missing name is a programming error and aborts.
  Component& operator[](std::string_view name);
  const Component& operator[](std::string_view name) const;
  Component* find(std::string_view name);
  const std::vector<std::unique_ptr<Component>>& components() const { return order_; }

  // Observers see every property change after it happened.
  int add_observer(Observer o);
  void remove_observer(int id);

 private:
  friend class Component;
  void notify(Component& c, Property p);

  std::vector<std::unique_ptr<Component>> order_;
  std::map<std::string, Component*, std::less<>> by_name_;
  std::map<int, Observer> observers_;
  int next_observer_ = 1;
};

}  // namespace tessomar::platform
