// Requests and replies straight between JSON text and a message by reflection, for
// the plain shapes the robot and the station use. Anything else is declined, never
// refused, so the library decides every error and every unusual form.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "mqtt/wire_json.h"

namespace station_center {

namespace {

namespace pb = google::protobuf;
using Field = pb::FieldDescriptor;

// Deeper requests are left to the library.
constexpr int kMaxDepth = 16;

// Whether the direct path knows a field's kind; others send the message to the library.
// Maps, oneofs (proto3 optional among them) and well-known types print and parse their own way.
bool KnownKind(const Field* field) {
  if (field->is_map() || field->containing_oneof() != nullptr ||
      field->containing_type()->file()->syntax() != pb::FileDescriptor::SYNTAX_PROTO3) {
    return false;
  }
  switch (field->cpp_type()) {
    case Field::CPPTYPE_INT32:
    case Field::CPPTYPE_UINT32:
    case Field::CPPTYPE_BOOL:
    case Field::CPPTYPE_ENUM:
    case Field::CPPTYPE_FLOAT:
    case Field::CPPTYPE_DOUBLE:
      return true;
    case Field::CPPTYPE_STRING:
      return field->type() == Field::TYPE_STRING;
    case Field::CPPTYPE_MESSAGE:
      return field->message_type()->file()->package() != "google.protobuf";
    default:
      return false;
  }
}

// Each message type's fields by both names the library accepts, built once per type.
class FieldNames {
 public:
  // Null when a field of the type (or of a type it holds) is of a kind left to the library.
  const std::unordered_map<std::string, const Field*>* Of(const pb::Descriptor* type) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Build(type, 0);
  }

 private:
  const std::unordered_map<std::string, const Field*>* Build(const pb::Descriptor* type, int depth) {
    const auto it = types_.find(type);
    if (it != types_.end()) {
      return it->second.known ? &it->second.names : nullptr;
    }
    Entry& entry = types_[type];  // a type that holds itself finds itself known
    for (int i = 0; i < type->field_count(); ++i) {
      const Field* field = type->field(i);
      entry.names[field->json_name()] = field;
      entry.names[field->name()] = field;
      const bool nested_ok = field->cpp_type() != Field::CPPTYPE_MESSAGE || !KnownKind(field) ||
                             (depth < kMaxDepth && Build(field->message_type(), depth + 1) != nullptr);
      if (!KnownKind(field) || !nested_ok) {
        entry.known = false;
      }
    }
    return entry.known ? &entry.names : nullptr;
  }

  struct Entry {
    bool known = true;
    std::unordered_map<std::string, const Field*> names;
  };
  std::mutex mutex_;  // guards types_
  std::map<const pb::Descriptor*, Entry> types_;
};

FieldNames& Names() {
  static FieldNames names;
  return names;
}

// The character a short escape stands for; 0 for the rest.
char Unescaped(char c) {
  switch (c) {
    case '"':
    case '\\':
    case '/':
      return c;
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return '\0';
  }
}

// One pass over a request's text, storing into the message as it goes. Every
// function answers false to decline: the caller then hands the text to the library.
class Reader {
 public:
  explicit Reader(const std::string& text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool Document(pb::Message* msg) {
    SkipSpace();
    if (!Object(msg, 0)) {
      return false;
    }
    SkipSpace();
    return p_ == end_;
  }

 private:
  bool Object(pb::Message* msg, int depth) {
    const auto* names = Names().Of(msg->GetDescriptor());
    if (names == nullptr || depth > kMaxDepth || !Take('{')) {
      return false;
    }
    std::vector<const Field*> seen;
    if (Take('}')) {
      return true;
    }
    do {
      std::string key;
      if (!String(&key) || !Take(':')) {
        return false;
      }
      const auto it = names->find(key);
      if (it == names->end() || std::find(seen.begin(), seen.end(), it->second) != seen.end()) {
        return false;  // unknown or repeated keys: the library says what is wrong
      }
      seen.push_back(it->second);
      if (!Member(msg, it->second, depth)) {
        return false;
      }
    } while (Take(','));
    return Take('}');
  }

  bool Member(pb::Message* msg, const Field* field, int depth) {
    if (!field->is_repeated()) {
      return Value(msg, field, depth);
    }
    if (!Take('[')) {
      return false;
    }
    if (Take(']')) {
      return true;
    }
    do {
      if (!Value(msg, field, depth)) {
        return false;
      }
    } while (Take(','));
    return Take(']');
  }

  bool Value(pb::Message* msg, const Field* field, int depth) {
    const pb::Reflection* r = msg->GetReflection();
    const bool add = field->is_repeated();
    switch (field->cpp_type()) {
      case Field::CPPTYPE_MESSAGE:
        return Object(add ? r->AddMessage(msg, field) : r->MutableMessage(msg, field), depth + 1);
      case Field::CPPTYPE_STRING: {
        std::string text;
        if (!String(&text)) {
          return false;
        }
        add ? r->AddString(msg, field, std::move(text)) : r->SetString(msg, field, std::move(text));
        return true;
      }
      case Field::CPPTYPE_BOOL: {
        bool value = false;
        if (Word("true")) {
          value = true;
        } else if (!Word("false")) {
          return false;
        }
        add ? r->AddBool(msg, field, value) : r->SetBool(msg, field, value);
        return true;
      }
      case Field::CPPTYPE_ENUM:
        return Enum(msg, field);
      default:
        return Number(msg, field);
    }
  }

  bool Enum(pb::Message* msg, const Field* field) {
    const pb::Reflection* r = msg->GetReflection();
    int64_t number = 0;
    SkipSpace();
    if (p_ != end_ && *p_ == '"') {
      std::string name;
      const pb::EnumValueDescriptor* value = nullptr;
      if (!String(&name) || (value = field->enum_type()->FindValueByName(name)) == nullptr) {
        return false;
      }
      number = value->number();
    } else if (!Integer(&number) || number < std::numeric_limits<int32_t>::min() ||
               number > std::numeric_limits<int32_t>::max()) {
      return false;
    }
    const int value = static_cast<int>(number);
    field->is_repeated() ? r->AddEnumValue(msg, field, value) : r->SetEnumValue(msg, field, value);
    return true;
  }

  bool Number(pb::Message* msg, const Field* field) {
    const pb::Reflection* r = msg->GetReflection();
    const bool add = field->is_repeated();
    int64_t whole = 0;
    double real = 0;
    switch (field->cpp_type()) {
      case Field::CPPTYPE_INT32:
        if (!Integer(&whole) || whole < std::numeric_limits<int32_t>::min() ||
            whole > std::numeric_limits<int32_t>::max()) {
          return false;
        }
        add ? r->AddInt32(msg, field, static_cast<int32_t>(whole))
            : r->SetInt32(msg, field, static_cast<int32_t>(whole));
        return true;
      case Field::CPPTYPE_UINT32:
        if (!Integer(&whole) || whole < 0 || whole > std::numeric_limits<uint32_t>::max()) {
          return false;
        }
        add ? r->AddUInt32(msg, field, static_cast<uint32_t>(whole))
            : r->SetUInt32(msg, field, static_cast<uint32_t>(whole));
        return true;
      case Field::CPPTYPE_DOUBLE:
        if (!Real(&real)) {
          return false;
        }
        add ? r->AddDouble(msg, field, real) : r->SetDouble(msg, field, real);
        return true;
      case Field::CPPTYPE_FLOAT:
        // Past a float's range, or an integer a float cannot hold, the library decides.
        if (!Real(&real) || std::fabs(real) > FLT_MAX || (last_integral_ && std::fabs(real) > (1 << 24))) {
          return false;
        }
        add ? r->AddFloat(msg, field, static_cast<float>(real)) : r->SetFloat(msg, field, static_cast<float>(real));
        return true;
      default:
        return false;
    }
  }

  // A JSON number without a fraction or exponent, of at most 18 digits.
  bool Integer(int64_t* value) {
    const std::string token = NumberToken();
    if (token.empty() || !last_integral_ || token.size() > 18) {
      return false;
    }
    *value = std::strtoll(token.c_str(), nullptr, 10);
    return true;
  }

  // A finite JSON number; an integer past a double's exact range is left to the library.
  bool Real(double* value) {
    const std::string token = NumberToken();
    if (token.empty() || (last_integral_ && token.size() > 15)) {
      return false;
    }
    errno = 0;
    *value = std::strtod(token.c_str(), nullptr);
    return errno == 0 && std::isfinite(*value);
  }

  // The text of one number as JSON writes it, or empty.
  std::string NumberToken() {
    SkipSpace();
    const char* start = p_;
    last_integral_ = true;
    Skip('-');
    if (Skip('0')) {
    } else if (!Digits()) {
      return {};
    }
    if (Skip('.')) {
      last_integral_ = false;
      if (!Digits()) {
        return {};
      }
    }
    if (Skip('e') || Skip('E')) {
      last_integral_ = false;
      if (!Skip('+')) {
        Skip('-');
      }
      if (!Digits()) {
        return {};
      }
    }
    return std::string(start, p_);
  }

  bool Digits() {
    const char* start = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
      ++p_;
    }
    return p_ != start;
  }

  // Printable ASCII with the short escapes; \u escapes and other bytes go to the library.
  bool String(std::string* out) {
    if (!Take('"')) {
      return false;
    }
    while (p_ != end_) {
      const unsigned char c = static_cast<unsigned char>(*p_++);
      if (c == '"') {
        return true;
      }
      if (c < 0x20 || c >= 0x7f) {
        return false;
      }
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (p_ == end_) {
        return false;
      }
      const char plain = Unescaped(*p_);
      if (plain == '\0') {
        return false;
      }
      out->push_back(plain);
      ++p_;
    }
    return false;
  }

  bool Word(const char* word) {
    SkipSpace();
    const size_t n = std::strlen(word);
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) {
      return false;
    }
    p_ += n;
    return true;
  }

  bool Take(char c) {
    SkipSpace();
    return Skip(c);
  }

  bool Skip(char c) {
    if (p_ != end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }

  void SkipSpace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) {
      ++p_;
    }
  }

  const char* p_;
  const char* const end_;
  bool last_integral_ = true;
};

// A number as the library prints it: the shortest of two precisions that reads back
// to the same value.
void PrintReal(double value, bool single, std::string* out) {
  const int digits = single ? FLT_DIG : DBL_DIG;
  char text[32];
  std::snprintf(text, sizeof(text), "%.*g", digits, value);
  errno = 0;  // as the library's own check, a float read back out of range is not exact
  const bool exact = single ? std::strtof(text, nullptr) == static_cast<float>(value) && errno == 0
                            : std::strtod(text, nullptr) == value;
  if (!exact) {
    std::snprintf(text, sizeof(text), "%.*g", digits + (single ? 3 : 2), value);
  }
  out->append(text);
}

// Printable ASCII with the library's escapes; other bytes are left to the library.
bool PrintString(const std::string& text, std::string* out) {
  out->push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x7f) {
      return false;
    }
    const char* escaped = nullptr;
    switch (c) {
      case '"':
        escaped = "\\\"";
        break;
      case '\\':
        escaped = "\\\\";
        break;
      case '<':
        escaped = "\\u003c";
        break;
      case '>':
        escaped = "\\u003e";
        break;
      case '\b':
        escaped = "\\b";
        break;
      case '\f':
        escaped = "\\f";
        break;
      case '\n':
        escaped = "\\n";
        break;
      case '\r':
        escaped = "\\r";
        break;
      case '\t':
        escaped = "\\t";
        break;
      default:
        break;
    }
    if (escaped != nullptr) {
      out->append(escaped);
    } else if (byte < 0x20) {
      char code[8];
      std::snprintf(code, sizeof(code), "\\u%04x", byte);
      out->append(code);
    } else {
      out->push_back(c);
    }
  }
  out->push_back('"');
  return true;
}

// One field's value, the index-th of a repeated field (ignored for a singular one).
bool PrintValue(const pb::Message& msg, const Field* field, int index, std::string* out);

// Every field in declaration order: scalars and lists always, messages when set.
bool PrintMessage(const pb::Message& msg, std::string* out) {
  if (Names().Of(msg.GetDescriptor()) == nullptr) {
    return false;
  }
  const pb::Reflection* r = msg.GetReflection();
  const pb::Descriptor* type = msg.GetDescriptor();
  out->push_back('{');
  bool first = true;
  for (int i = 0; i < type->field_count(); ++i) {
    const Field* field = type->field(i);
    if (!field->is_repeated() && field->cpp_type() == Field::CPPTYPE_MESSAGE && !r->HasField(msg, field)) {
      continue;
    }
    if (!first) {
      out->push_back(',');
    }
    first = false;
    out->append("\"").append(field->json_name()).append("\":");
    if (!field->is_repeated()) {
      if (!PrintValue(msg, field, -1, out)) {
        return false;
      }
      continue;
    }
    out->push_back('[');
    const int count = r->FieldSize(msg, field);
    for (int k = 0; k < count; ++k) {
      if (k > 0) {
        out->push_back(',');
      }
      if (!PrintValue(msg, field, k, out)) {
        return false;
      }
    }
    out->push_back(']');
  }
  out->push_back('}');
  return true;
}

bool PrintValue(const pb::Message& msg, const Field* field, int index, std::string* out) {
  const pb::Reflection* r = msg.GetReflection();
  const bool one = index < 0;
  switch (field->cpp_type()) {
    case Field::CPPTYPE_INT32:
      out->append(std::to_string(one ? r->GetInt32(msg, field) : r->GetRepeatedInt32(msg, field, index)));
      return true;
    case Field::CPPTYPE_UINT32:
      out->append(std::to_string(one ? r->GetUInt32(msg, field) : r->GetRepeatedUInt32(msg, field, index)));
      return true;
    case Field::CPPTYPE_ENUM:
      out->append(std::to_string(one ? r->GetEnumValue(msg, field) : r->GetRepeatedEnumValue(msg, field, index)));
      return true;
    case Field::CPPTYPE_BOOL:
      out->append((one ? r->GetBool(msg, field) : r->GetRepeatedBool(msg, field, index)) ? "true" : "false");
      return true;
    case Field::CPPTYPE_STRING:
      return PrintString(one ? r->GetString(msg, field) : r->GetRepeatedString(msg, field, index), out);
    case Field::CPPTYPE_MESSAGE:
      return PrintMessage(one ? r->GetMessage(msg, field) : r->GetRepeatedMessage(msg, field, index), out);
    case Field::CPPTYPE_FLOAT: {
      const float value = one ? r->GetFloat(msg, field) : r->GetRepeatedFloat(msg, field, index);
      if (!std::isfinite(value)) {
        return false;  // printed as quoted names
      }
      PrintReal(value, true, out);
      return true;
    }
    case Field::CPPTYPE_DOUBLE: {
      const double value = one ? r->GetDouble(msg, field) : r->GetRepeatedDouble(msg, field, index);
      if (!std::isfinite(value)) {
        return false;
      }
      PrintReal(value, false, out);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

bool ParseJsonDirect(const std::string& json, pb::Message* msg) {
  msg->Clear();
  if (!Reader(json).Document(msg)) {
    msg->Clear();
    return false;
  }
  return true;
}

bool PrintJsonDirect(const pb::Message& msg, std::string* json) {
  json->clear();
  if (!PrintMessage(msg, json)) {
    json->clear();
    return false;
  }
  return true;
}

}  // namespace station_center
