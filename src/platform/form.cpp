#include "platform/form.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tessomar::platform {

namespace {
// A wrong component name is a programming error: it ends the process like a failed assert,
// with its reason on stderr whatever the host logs.
[[noreturn]] void fail_fatally(const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  std::abort();
}
}  // namespace

const char* component_kind_name(ComponentKind kind) {
  switch (kind) {
    case ComponentKind::Form:
      return "Form";
    case ComponentKind::Timer:
      return "Timer";
    case ComponentKind::Label:
      return "Label";
    case ComponentKind::Image:
      return "Image";
    case ComponentKind::Button:
      return "Button";
    case ComponentKind::Edit:
      return "Edit";
    case ComponentKind::LabeledEdit:
      return "LabeledEdit";
    case ComponentKind::ComboBox:
      return "ComboBox";
    case ComponentKind::CheckBox:
      return "CheckBox";
    case ComponentKind::Memo:
      return "Memo";
    case ComponentKind::ProgressBar:
      return "ProgressBar";
    case ComponentKind::ScrollBar:
      return "ScrollBar";
    case ComponentKind::PageControl:
      return "PageControl";
    case ComponentKind::TabSheet:
      return "TabSheet";
    case ComponentKind::Panel:
      return "Panel";
  }
  return "?";
}

Component::Component(Form* form, std::string name, ComponentKind kind, std::string parent)
    : form_(form), name_(std::move(name)), kind_(kind), parent_(std::move(parent)) {}

void Component::changed(Property p) {
  if (form_) form_->notify(*this, p);
}

void Component::set_caption(std::string_view text) {
  if (caption_ == text) return;
  caption_.assign(text);
  changed(Property::Caption);
}
void Component::set_enabled(bool v) {
  if (enabled_ == v) return;
  enabled_ = v;
  changed(Property::Enabled);
}
void Component::set_visible(bool v) {
  if (visible_ == v) return;
  visible_ = v;
  changed(Property::Visible);
}
void Component::set_items(std::vector<std::string> items) {
  if (items_ == items) return;
  items_ = std::move(items);
  changed(Property::Items);
}
void Component::set_item_index(int i) {
  if (item_index_ == i) return;
  item_index_ = i;
  changed(Property::ItemIndex);
}
void Component::set_checked(bool v) {
  if (checked_ == v) return;
  checked_ = v;
  changed(Property::Checked);
}
void Component::set_tag(int32_t v) {
  if (tag_ == v) return;
  tag_ = v;
  changed(Property::Tag);
}
void Component::set_geometry(const Geometry& g) {
  if (geometry_ == g) return;
  geometry_ = g;
  changed(Property::Geometry);
}
void Component::set_max_length(int v) {
  if (max_length_ == v) return;
  max_length_ = v;
  changed(Property::MaxLength);
}
void Component::set_password_char(char c) {
  if (password_char_ == c) return;
  password_char_ = c;
  changed(Property::PasswordChar);
}
void Component::set_label_caption(std::string_view text) {
  if (label_caption_ == text) return;
  label_caption_.assign(text);
  changed(Property::LabelCaption);
}
void Component::set_position(int v) {
  if (position_ == v) return;
  position_ = v;
  changed(Property::Position);
}
void Component::set_range(int min, int max) {
  if (min_ == min && max_ == max) return;
  min_ = min;
  max_ = max;
  changed(Property::Range);
}
void Component::set_interval_ms(int v) {
  if (interval_ms_ == v) return;
  interval_ms_ = v;
  changed(Property::Interval);
}
void Component::picture_changed() { changed(Property::Picture); }

void Component::on(std::string_view event, Handler handler) {
  handlers_[std::string(event)] = std::move(handler);
}

bool Component::has_handler(std::string_view event) const {
  auto it = handlers_.find(event);
  return it != handlers_.end() && it->second;
}

bool Component::fire(std::string_view event, Event& args) {
  auto it = handlers_.find(event);
  if (it == handlers_.end() || !it->second) return false;
  // Copy first: a handler may replace itself while it runs.
  Handler h = it->second;
  h(args);
  return true;
}

void Form::build(const ComponentSpec* rows, size_t count) {
  for (size_t i = 0; i < count; ++i) add(rows[i]);
}

Component& Form::add(const ComponentSpec& row) {
  if (by_name_.count(row.name)) {
    fail_fatally(std::string("form: duplicate component ") + row.name);
  }
  auto c = std::make_unique<Component>(this, row.name, row.kind, row.parent);
  // Initial state is set before observers can see the component.
  Form* owner = c->form_;
  c->form_ = nullptr;
  c->set_geometry(row.geometry);
  c->set_caption(row.caption);
  c->set_visible(row.visible);
  c->set_enabled(row.enabled);
  c->set_interval_ms(row.interval_ms);
  c->set_label_caption(row.label);
  c->set_password_char(row.password_char);
  c->form_ = owner;
  Component& ref = *c;
  by_name_[ref.name()] = &ref;
  order_.push_back(std::move(c));
  return ref;
}

Component* Form::find(std::string_view name) {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second;
}

Component& Form::operator[](std::string_view name) {
  Component* c = find(name);
  if (!c) {
    fail_fatally("form: no component named " + std::string(name));
  }
  return *c;
}

const Component& Form::operator[](std::string_view name) const {
  return const_cast<Form&>(*this)[name];
}

int Form::add_observer(Observer o) {
  int id = next_observer_++;
  observers_[id] = std::move(o);
  return id;
}

void Form::remove_observer(int id) { observers_.erase(id); }

void Form::notify(Component& c, Property p) {
  // An observer may remove itself or others while it runs: walk by id, call a copy.
  for (auto it = observers_.begin(); it != observers_.end();) {
    const int id = it->first;
    Observer o = it->second;
    o(c, p);
    it = observers_.upper_bound(id);
  }
}

}  // namespace tessomar::platform
