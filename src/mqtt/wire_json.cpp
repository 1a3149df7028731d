#include "mqtt/wire_json.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/type.pb.h>
#include <google/protobuf/util/type_resolver.h>
#include <google/protobuf/util/type_resolver_util.h>

#include <map>
#include <memory>
#include <mutex>

namespace station_center {

namespace {

namespace pb = google::protobuf;

// The prefix the library's own conversions use.
constexpr char kTypeUrlPrefix[] = "type.googleapis.com";

// The library's resolver for the compiled-in types, answering each type from a copy
// it made the first time. Failures are not kept: they are answered afresh.
class CachingTypeResolver : public pb::util::TypeResolver {
 public:
  CachingTypeResolver()
      : base_(pb::util::NewTypeResolverForDescriptorPool(kTypeUrlPrefix, pb::DescriptorPool::generated_pool())) {}

  pb::util::Status ResolveMessageType(const std::string& type_url, pb::Type* type) override {
    return Resolve(type_url, type, types_, &pb::util::TypeResolver::ResolveMessageType);
  }
  pb::util::Status ResolveEnumType(const std::string& enum_url, pb::Enum* enum_type) override {
    return Resolve(enum_url, enum_type, enums_, &pb::util::TypeResolver::ResolveEnumType);
  }

 private:
  template <typename T>
  pb::util::Status Resolve(const std::string& url, T* out, std::map<std::string, T>& cache,
                           pb::util::Status (pb::util::TypeResolver::*resolve)(const std::string&, T*)) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cache.find(url);
    if (it == cache.end()) {
      T fresh;
      const pb::util::Status status = (base_.get()->*resolve)(url, &fresh);
      if (!status.ok()) {
        return status;
      }
      it = cache.emplace(url, std::move(fresh)).first;
    }
    *out = it->second;
    return pb::util::Status();
  }

  const std::unique_ptr<pb::util::TypeResolver> base_;
  std::mutex mutex_;  // guards the two caches
  std::map<std::string, pb::Type> types_;
  std::map<std::string, pb::Enum> enums_;
};

CachingTypeResolver& Resolver() {
  static CachingTypeResolver resolver;
  return resolver;
}

std::string TypeUrl(const pb::Message& msg) {
  return std::string(kTypeUrlPrefix) + "/" + msg.GetDescriptor()->full_name();
}

// Types outside the compiled-in pool (none on the station) take the library's own way.
bool Generated(const pb::Message& msg) {
  return msg.GetDescriptor()->file()->pool() == pb::DescriptorPool::generated_pool();
}

}  // namespace

bool ParseWireJson(const std::string& json, pb::Message* msg) {
  if (ParseJsonDirect(json, msg)) {
    return true;
  }
  if (!Generated(*msg)) {
    return pb::util::JsonStringToMessage(json, msg).ok();
  }
  std::string binary;
  return pb::util::JsonToBinaryString(&Resolver(), TypeUrl(*msg), json, &binary).ok() && msg->ParseFromString(binary);
}

pb::util::JsonPrintOptions ReplyPrintOptions() {
  pb::util::JsonPrintOptions options;
  options.add_whitespace = false;
  options.always_print_primitive_fields = true;
  options.always_print_enums_as_ints = true;
  options.preserve_proto_field_names = false;
  return options;
}

bool PrintWireJson(const pb::Message& msg, const pb::util::JsonPrintOptions& options, std::string* json) {
  const pb::util::JsonPrintOptions reply = ReplyPrintOptions();
  if (options.add_whitespace == reply.add_whitespace &&
      options.always_print_primitive_fields == reply.always_print_primitive_fields &&
      options.always_print_enums_as_ints == reply.always_print_enums_as_ints &&
      options.preserve_proto_field_names == reply.preserve_proto_field_names && PrintJsonDirect(msg, json)) {
    return true;
  }
  if (!Generated(msg)) {
    return pb::util::MessageToJsonString(msg, json, options).ok();
  }
  return pb::util::BinaryToJsonString(&Resolver(), TypeUrl(msg), msg.SerializeAsString(), json, options).ok();
}

}  // namespace station_center
