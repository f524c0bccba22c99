#include "rowfeed/secure_connections.h"

#include <initializer_list>

namespace qz::rowfeed {
namespace {

using qz::host::is_failure;
using qz::host::repr_of;
using qz::host::str_of;
using qz::host::text;
using qz::host::truth;

// What a setting that holds a secret shows in place of its value.
const char* const kHidden = "<hidden>";


// The setting `name` as text; anything else (a number or a list from the
// settings file) cannot name a file, a user or a protocol.
py::object text_setting(const contracts::QzConfig& config, const char* name, bool secret = false) {
  py::object value = config.module().attr(name);
  if (!PyString_Check(value.ptr())) {
    throw BadSetting{name, secret ? text(kHidden) : repr_of(value), "is not text"};
  }
  return value;
}

// `value` upper-cased, which must be one of `allowed`, as Kafka's own
// clients take these names in any case.
py::object one_of(const char* name, py::handle value, std::initializer_list<const char*> allowed) {
  py::object upper = value.attr("upper")();
  std::string word = py::cast<std::string>(upper);
  std::string list;
  for (const char* each : allowed) {
    if (word == each) return upper;
    list += list.empty() ? each : std::string(", ") + each;
  }
  throw BadSetting{name, repr_of(value), "is not one of " + list};
}

struct TlsFiles {
  const char *ca_name, *cert_name, *key_name;
  py::object ca, cert, key;
};

// A client context that checks the server's chain against `files.ca` (the
// system's store when it is empty) and its host name, and offers the client
// certificate when one is named.
py::object tls_context(const TlsFiles& files) {
  py::module_ ssl = py::module_::import("ssl");
  py::object context;
  try {
    py::object cafile = truth(files.ca) ? files.ca : py::none();
    context = ssl.attr("create_default_context")(py::arg("cafile") = cafile);
  } catch (py::error_already_set& error) {
    if (!is_failure(error)) throw;
    throw BadSetting{files.ca_name, repr_of(files.ca), qz::host::str_text(error.value())};
  }
  if (truth(files.key) && !truth(files.cert)) {
    throw BadSetting{files.key_name, repr_of(files.key),
                     std::string("needs ") + files.cert_name + " (the certificate it belongs to)"};
  }
  if (truth(files.cert)) {
    try {
      // An empty password, never a prompt: a key that is encrypted fails
      // here instead of waiting on a terminal no supervisor has.
      context.attr("load_cert_chain")(files.cert, truth(files.key) ? files.key : py::none(),
                                      text(""));
    } catch (py::error_already_set& error) {
      if (!is_failure(error)) throw;
      throw BadSetting{files.cert_name, repr_of(files.cert), qz::host::str_text(error.value())};
    }
  }
  return context;
}

}  // namespace

py::dict kafka_security_settings(const contracts::QzConfig& config, bool encrypt) {
  const char* protocol_name = "QZ_KF_SECURITY_PROTOCOL";
  py::object protocol = one_of(protocol_name, text_setting(config, protocol_name),
                               {"PLAINTEXT", "SSL", "SASL_PLAINTEXT", "SASL_SSL"});
  std::string kind = py::cast<std::string>(protocol);
  if (encrypt && kind == "PLAINTEXT") kind = "SSL";
  if (encrypt && kind == "SASL_PLAINTEXT") kind = "SASL_SSL";
  py::dict settings;
  settings[text("security_protocol")] = text(kind);
  if (kind == "SASL_PLAINTEXT" || kind == "SASL_SSL") {
    const char* mechanism_name = "QZ_KF_SASL_MECHANISM";
    settings[text("sasl_mechanism")] =
        one_of(mechanism_name, text_setting(config, mechanism_name),
               {"PLAIN", "SCRAM-SHA-256", "SCRAM-SHA-512"});
    py::object user = text_setting(config, "QZ_KF_SASL_USERNAME");
    if (!truth(user)) throw BadSetting{"QZ_KF_SASL_USERNAME", repr_of(user), "is empty; " + kind + " needs a user"};
    py::object password = text_setting(config, "QZ_KF_SASL_PASSWORD", true);
    if (!truth(password)) {
      throw BadSetting{"QZ_KF_SASL_PASSWORD", repr_of(password), "is empty; " + kind + " needs one"};
    }
    settings[text("sasl_plain_username")] = user;
    settings[text("sasl_plain_password")] = password;
  }
  if (kind == "SSL" || kind == "SASL_SSL") {
    settings[text("ssl_context")] = tls_context({
        "QZ_KF_SSL_CAFILE", "QZ_KF_SSL_CERTFILE", "QZ_KF_SSL_KEYFILE",
        text_setting(config, "QZ_KF_SSL_CAFILE"),
        text_setting(config, "QZ_KF_SSL_CERTFILE"),
        text_setting(config, "QZ_KF_SSL_KEYFILE"),
    });
  }
  return settings;
}

py::object database_tls_context(const contracts::QzConfig& config) {
  TlsFiles files{
      "QZ_MYSQL_SSL_CA", "QZ_MYSQL_SSL_CERT", "QZ_MYSQL_SSL_KEY",
      text_setting(config, "QZ_MYSQL_SSL_CA"),
      text_setting(config, "QZ_MYSQL_SSL_CERT"),
      text_setting(config, "QZ_MYSQL_SSL_KEY"),
  };
  if (!truth(files.ca) && !truth(files.cert) && !truth(files.key)) return py::none();
  return tls_context(files);
}

}  // namespace qz::rowfeed
