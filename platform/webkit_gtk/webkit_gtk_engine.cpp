#include "platform/webkit_gtk/webkit_gtk_engine.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <map>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/core/assertion.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/json.h"
#include "platform/glib/glib_main_context.h"
#include "platform/log/log.h"
#include "platform/webkit/navigation.h"
#include "platform/webkit/ui_delegate.h"
#include "platform/webkit/user_content_controller.h"
#include "platform/webkit/web_view.h"
#include "platform/webkit/web_view_configuration.h"

namespace platform::webkit {

namespace {

using platform::Value;

const platform::LogPtr& engineLog() {
  static const auto log = platform::Log::cached("com.lumora.webview", "engine");
  return log;
}

// A GObject reference held by C++ code (decisions and requests handed to the bridge).
template <typename T> std::shared_ptr<T> retained(T* object) {
  g_object_ref(object);
  return std::shared_ptr<T>(object, [](T* held) { g_object_unref(held); });
}

// Runs `body` where an exception must not reach GLib's C frames: logged and dropped.
template <typename Body> void guarded(const char* where, Body&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    engineLog()->error(std::string(where) + ": " + e.what());
  } catch (...) {
    engineLog()->error(std::string(where) + ": unknown exception");
  }
}

std::optional<std::string> optionalText(const char* text) {
  return text ? std::optional<std::string>(text) : std::nullopt;
}

// A JavaScript value as the bridge's value: undefined is none; numbers are doubles; arrays and
// objects go through their JSON form (a value JSON cannot carry is described as text).
std::optional<Value> valueOfJavaScript(JSCValue* value) {
  if (!value || jsc_value_is_undefined(value)) return std::nullopt;
  if (jsc_value_is_null(value)) return Value();
  if (jsc_value_is_boolean(value)) return Value(jsc_value_to_boolean(value) == TRUE);
  if (jsc_value_is_number(value)) return Value(jsc_value_to_double(value));
  if (jsc_value_is_string(value)) {
    char* text = jsc_value_to_string(value);
    Value result(std::string(text ? text : ""));
    g_free(text);
    return result;
  }
  if (jsc_value_is_array(value) || jsc_value_is_object(value)) {
    char* json = jsc_value_to_json(value, 0);
    if (json) {
      platform::JSONReadOptions options;
      options.allowFragments = true;
      auto parsed = platform::JSONObjectWithData(json, nullptr, options);
      g_free(json);
      if (parsed) return parsed;
    }
  }
  char* text = jsc_value_to_string(value);
  Value result(std::string(text ? text : ""));
  g_free(text);
  return result;
}

// The loading system's error for a failed load of `uri`.
platform::ErrorPtr loadError(const GError* error, const char* uri) {
  std::int64_t code = -1;  // unknown
  if (error->domain == WEBKIT_NETWORK_ERROR) {
    if (error->code == WEBKIT_NETWORK_ERROR_CANCELLED) code = -999;
    if (error->code == WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST) code = -1100;
    if (error->code == WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL) code = -1002;
  }
  platform::ValueMap info{{Value("NSLocalizedDescription"), Value(std::string(error->message))}};
  if (uri) {
    info[Value("NSErrorFailingURLStringKey")] = Value(std::string(uri));
    if (auto url = platform::URL::parse(uri))
      info[Value("NSErrorFailingURLKey")] =
          Value(platform::ObjectPtr(std::make_shared<URLObject>(*url)));
  }
  return std::make_shared<const platform::Error>(kURLErrorDomain, code, std::move(info));
}

std::int64_t navigationTypeOf(WebKitNavigationType type) {
  switch (type) {
  case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED:
    return 0;
  case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED:
    return 1;
  case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD:
    return 2;
  case WEBKIT_NAVIGATION_TYPE_RELOAD:
    return 3;
  case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED:
    return 4;
  default:
    return kNavigationTypeOther;
  }
}

void applyPolicy(WebKitPolicyDecision* decision, std::int64_t policy) {
  if (policy == kNavigationPolicyAllow) {
    webkit_policy_decision_use(decision);
  } else if (policy == kNavigationPolicyDownload) {
    webkit_policy_decision_download(decision);
  } else {
    webkit_policy_decision_ignore(decision);
  }
}

const char* authenticationMethodOf(WebKitAuthenticationScheme scheme) {
  switch (scheme) {
  case WEBKIT_AUTHENTICATION_SCHEME_HTTP_BASIC:
    return kAuthenticationMethodHTTPBasic;
  case WEBKIT_AUTHENTICATION_SCHEME_HTTP_DIGEST:
    return "NSURLAuthenticationMethodHTTPDigest";
  case WEBKIT_AUTHENTICATION_SCHEME_HTML_FORM:
    return "NSURLAuthenticationMethodHTMLForm";
  case WEBKIT_AUTHENTICATION_SCHEME_NTLM:
    return "NSURLAuthenticationMethodNTLM";
  case WEBKIT_AUTHENTICATION_SCHEME_NEGOTIATE:
    return "NSURLAuthenticationMethodNegotiate";
  default:
    return "NSURLAuthenticationMethodDefault";
  }
}

WebKitCredentialPersistence persistenceOf(std::int64_t persistence) {
  switch (persistence) {
  case 1:
    return WEBKIT_CREDENTIAL_PERSISTENCE_FOR_SESSION;
  case 2:
  case 3:
    return WEBKIT_CREDENTIAL_PERSISTENCE_PERMANENT;
  default:
    return WEBKIT_CREDENTIAL_PERSISTENCE_NONE;
  }
}

class GtkWebEngine final : public WebEngine {
 public:
  GtkWebEngine(WebEngineClient& client, const std::shared_ptr<WebViewConfiguration>& configuration)
      : client_(client), configuration_(configuration) {
    content_ = webkit_user_content_manager_new();
    view_ = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(content_));
    g_object_ref_sink(view_);
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(window_);
    gtk_window_set_default_size(GTK_WINDOW(window_), 800, 600);
    gtk_window_move(GTK_WINDOW(window_), 0, 0);
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));

    connect(view_, "notify::uri", G_CALLBACK(onStateChanged));
    connect(view_, "notify::title", G_CALLBACK(onStateChanged));
    connect(webkit_web_view_get_back_forward_list(view_), "changed",
            G_CALLBACK(onBackForwardChanged));
    connect(view_, "notify::estimated-load-progress", G_CALLBACK(onProgress));
    connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy));
    connect(view_, "load-changed", G_CALLBACK(onLoadChanged));
    connect(view_, "load-failed", G_CALLBACK(onLoadFailed));
    connect(view_, "web-process-terminated", G_CALLBACK(onWebProcessTerminated));
    connect(view_, "script-dialog", G_CALLBACK(onScriptDialog));
    connect(view_, "permission-request", G_CALLBACK(onPermissionRequest));
    connect(view_, "create", G_CALLBACK(onCreate));
    connect(view_, "authenticate", G_CALLBACK(onAuthenticate));
    syncUserContent();
  }

  ~GtkWebEngine() override {
    for (auto& [instance, id] : signals_)
      g_signal_handler_disconnect(instance, id);
    gtk_widget_destroy(window_);
    g_object_unref(window_);
    g_object_unref(view_);
    g_object_unref(content_);
  }

  std::optional<platform::URL> url() const override {
    const char* uri = webkit_web_view_get_uri(view_);
    if (!uri || !*uri) return std::nullopt;
    return platform::URL::parse(uri);
  }
  std::optional<std::string> title() const override {
    return optionalText(webkit_web_view_get_title(view_));
  }
  double estimatedProgress() const override {
    return webkit_web_view_get_estimated_load_progress(view_);
  }
  bool canGoBack() const override { return webkit_web_view_can_go_back(view_) == TRUE; }
  bool canGoForward() const override { return webkit_web_view_can_go_forward(view_) == TRUE; }
  std::optional<std::int64_t> statusCode() const override { return statusCode_; }

  void loadRequest(const URLRequest& request) override {
    syncUserContent();
    WebKitURIRequest* uriRequest = webkit_uri_request_new(request.url->absoluteString().c_str());
    if (request.allHTTPHeaderFields) {
      if (SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(uriRequest)) {
        for (const auto& [name, value] : *request.allHTTPHeaderFields)
          soup_message_headers_replace(headers, name.c_str(), value.c_str());
      }
    }
    // The engine loads pages with GET and no body: other methods and bodies are not sent.
    if (request.httpMethod() != URLRequest::kDefaultMethod ||
        (request.httpBody && !request.httpBody->empty()))
      engineLog()->error("loadRequest: the engine loads pages with GET and no body; loading " +
                         request.url->absoluteString() + " that way");
    webkit_web_view_load_request(view_, uriRequest);
    g_object_unref(uriRequest);
  }

  void loadHTMLString(const std::string& html,
                      const std::optional<platform::URL>& baseURL) override {
    syncUserContent();
    webkit_web_view_load_html(view_, html.c_str(),
                              baseURL ? baseURL->absoluteString().c_str() : nullptr);
  }

  void loadFileURL(const platform::URL& url, const platform::URL& /*readAccessURL*/) override {
    syncUserContent();
    webkit_web_view_load_uri(view_, url.absoluteString().c_str());
  }

  void goBack() override { webkit_web_view_go_back(view_); }
  void goForward() override { webkit_web_view_go_forward(view_); }
  void reload() override {
    syncUserContent();
    webkit_web_view_reload(view_);
  }

  void evaluateJavaScript(const std::string& source, JavaScriptCompletion completion) override {
    auto* pending = new JavaScriptCompletion(std::move(completion));
    webkit_web_view_evaluate_javascript(view_, source.c_str(), -1, nullptr, nullptr, nullptr,
                                        onJavaScriptFinished, pending);
  }

  void setCustomUserAgent(const std::optional<std::string>& userAgent) override {
    webkit_settings_set_user_agent(webkit_web_view_get_settings(view_),
                                   userAgent ? userAgent->c_str() : nullptr);
  }

  void setInspectable(bool inspectable) override {
    webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(view_),
                                                inspectable ? TRUE : FALSE);
  }

  void show() override {
    gtk_widget_show_all(window_);
    gtk_window_present(GTK_WINDOW(window_));
  }

 private:
  void connect(gpointer instance, const char* signal, GCallback callback) {
    signals_.emplace_back(instance, g_signal_connect(instance, signal, callback, this));
  }

  // The engine's user content follows the configuration's controller: its scripts and the names
  // of its message handlers, taken again before each load.
  void syncUserContent() {
    auto controller = configuration_ ? configuration_->userContentController() : nullptr;
    if (!controller) return;
    auto scripts = controller->userScripts();
    if (scripts != scripts_) {
      webkit_user_content_manager_remove_all_scripts(content_);
      for (const auto& script : scripts) {
        WebKitUserScript* userScript =
            webkit_user_script_new(script->source.c_str(),
                                   script->forMainFrameOnly ? WEBKIT_USER_CONTENT_INJECT_TOP_FRAME
                                                            : WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                                   script->injectionTime == UserScriptInjectionTime::atDocumentStart
                                       ? WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START
                                       : WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END,
                                   nullptr, nullptr);
        webkit_user_content_manager_add_script(content_, userScript);
        webkit_user_script_unref(userScript);
      }
      scripts_ = std::move(scripts);
    }
    auto names = controller->scriptMessageHandlerNames();
    for (auto it = handlers_.begin(); it != handlers_.end();) {
      if (std::find(names.begin(), names.end(), it->first) != names.end()) {
        ++it;
        continue;
      }
      webkit_user_content_manager_unregister_script_message_handler(content_, it->first.c_str());
      g_signal_handler_disconnect(content_, it->second->signal);
      it = handlers_.erase(it);
    }
    for (const auto& name : names) {
      if (handlers_.count(name)) continue;
      auto handler = std::make_unique<MessageHandler>(MessageHandler{this, name, 0});
      const std::string signal = "script-message-received::" + name;
      handler->signal =
          g_signal_connect(content_, signal.c_str(), G_CALLBACK(onScriptMessage), handler.get());
      if (!webkit_user_content_manager_register_script_message_handler(content_, name.c_str())) {
        g_signal_handler_disconnect(content_, handler->signal);
        engineLog()->error("the message handler \"" + name + "\" could not be registered");
        continue;
      }
      handlers_.emplace(name, std::move(handler));
    }
  }

  struct MessageHandler {
    GtkWebEngine* engine;
    std::string name;
    gulong signal;
  };

  static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                              gpointer data) {
    auto* handler = static_cast<MessageHandler*>(data);
    guarded("script message", [&] {
      auto body = valueOfJavaScript(webkit_javascript_result_get_js_value(result));
      handler->engine->client_.engineDidReceiveScriptMessage(handler->name, std::move(body));
    });
  }

  static void onStateChanged(GObject*, GParamSpec*, gpointer data) {
    guarded("state", [&] { static_cast<GtkWebEngine*>(data)->client_.engineStateChanged(); });
  }

  static void onBackForwardChanged(WebKitBackForwardList*, WebKitBackForwardListItem*, gpointer,
                                   gpointer data) {
    guarded("history", [&] { static_cast<GtkWebEngine*>(data)->client_.engineStateChanged(); });
  }

  static void onProgress(GObject*, GParamSpec*, gpointer data) {
    auto* self = static_cast<GtkWebEngine*>(data);
    guarded("progress", [&] { self->client_.engineProgressChanged(self->estimatedProgress()); });
  }

  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer data) {
    auto* self = static_cast<GtkWebEngine*>(data);
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
      // A page opening a window: the delegate is told, and no window is made.
      WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
          WEBKIT_NAVIGATION_POLICY_DECISION(decision));
      const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
      guarded("new window", [&] {
        if (auto url = platform::URL::parse(uri ? uri : "")) self->client_.engineOpenWindow(*url);
      });
      webkit_policy_decision_ignore(decision);
      return TRUE;
    }
    auto held = retained(decision);
    auto answer = [held](std::int64_t policy) { applyPolicy(held.get(), policy); };
    bool asked = false;
    guarded("policy decision", [&] {
      if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
            WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        auto url = platform::URL::parse(uri ? uri : "");
        if (!url) return;
        asked = true;
        self->client_.engineDecidePolicyForNavigationAction(
            *url, navigationTypeOf(webkit_navigation_action_get_navigation_type(action)), true,
            answer);
        return;
      }
      auto* responseDecision = WEBKIT_RESPONSE_POLICY_DECISION(decision);
      WebKitURIResponse* response = webkit_response_policy_decision_get_response(responseDecision);
      const bool mainFrame =
          webkit_response_policy_decision_is_main_frame_main_resource(responseDecision) == TRUE;
      asked = true;
      self->client_.engineDecidePolicyForNavigationResponse(self->responseOf(response, mainFrame),
                                                            mainFrame, answer);
    });
    if (!asked) webkit_policy_decision_use(decision);
    return TRUE;
  }

  std::shared_ptr<URLResponse> responseOf(WebKitURIResponse* response, bool mainFrame) {
    const char* uri = webkit_uri_response_get_uri(response);
    auto url = platform::URL::parse(uri ? uri : "");
    const std::string scheme = url ? url->scheme() : "";
    if (scheme == "http" || scheme == "https") {
      std::map<std::string, std::string> fields;
      if (SoupMessageHeaders* headers = webkit_uri_response_get_http_headers(response)) {
        soup_message_headers_foreach(
            headers,
            [](const char* name, const char* value, gpointer out) {
              auto& map = *static_cast<std::map<std::string, std::string>*>(out);
              auto [it, added] = map.emplace(name, value);
              if (!added) it->second += std::string(", ") + value;
            },
            &fields);
      }
      const auto status = static_cast<std::int64_t>(webkit_uri_response_get_status_code(response));
      if (mainFrame) statusCode_ = status;
      return std::make_shared<HTTPURLResponse>(url, status, std::move(fields));
    }
    if (mainFrame) statusCode_.reset();
    return std::make_shared<URLResponse>(
        url, optionalText(webkit_uri_response_get_mime_type(response)).value_or(""));
  }

  static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    auto* self = static_cast<GtkWebEngine*>(data);
    guarded("load", [&] {
      switch (event) {
      case WEBKIT_LOAD_STARTED:
        self->failed_ = false;
        self->client_.engineDidStartProvisionalNavigation();
        break;
      case WEBKIT_LOAD_COMMITTED:
        self->client_.engineStateChanged();
        break;
      case WEBKIT_LOAD_FINISHED:
        self->client_.engineStateChanged();
        if (!self->failed_) self->client_.engineDidFinishNavigation();
        break;
      default:
        break;
      }
    });
  }

  static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent event, gchar* uri, GError* error,
                               gpointer data) {
    auto* self = static_cast<GtkWebEngine*>(data);
    self->failed_ = true;
    // A load the application cancelled or turned into a download ends without a failure.
    const bool byPolicy =
        (error->domain == WEBKIT_POLICY_ERROR &&
         error->code == WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE) ||
        (error->domain == WEBKIT_NETWORK_ERROR && error->code == WEBKIT_NETWORK_ERROR_CANCELLED);
    if (!byPolicy) {
      guarded("load failure", [&] {
        self->client_.engineDidFailNavigation(loadError(error, uri),
                                              event != WEBKIT_LOAD_COMMITTED);
      });
    }
    return TRUE;  // no error page
  }

  static void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason,
                                     gpointer data) {
    engineLog()->error("the page's web process ended (reason " +
                       std::to_string(static_cast<int>(reason)) + ")");
    guarded("termination", [&] {
      static_cast<GtkWebEngine*>(data)->client_.engineWebContentProcessDidTerminate();
    });
  }

  static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
    auto* self = static_cast<GtkWebEngine*>(data);
    const std::string message = webkit_script_dialog_get_message(dialog);
    // The dialog stays open until the answer (or, unanswered, until the last handler goes). An
    // answer given within this signal needs no closing: the engine reads it when we return.
    struct Held {
      explicit Held(WebKitScriptDialog* dialog) : dialog(webkit_script_dialog_ref(dialog)) {}
      ~Held() {
        close();
        webkit_script_dialog_unref(dialog);
      }
      void close() {
        if (closed) return;
        closed = true;
        if (!inSignal) webkit_script_dialog_close(dialog);
      }
      WebKitScriptDialog* dialog;
      bool closed = false;
      bool inSignal = true;
    };
    auto held = std::make_shared<Held>(dialog);
    guarded("script dialog", [&] {
      switch (webkit_script_dialog_get_dialog_type(dialog)) {
      case WEBKIT_SCRIPT_DIALOG_ALERT:
        self->client_.engineRunAlert(message, [held] { held->close(); });
        break;
      case WEBKIT_SCRIPT_DIALOG_CONFIRM:
        self->client_.engineRunConfirm(message, [held](bool confirmed) {
          webkit_script_dialog_confirm_set_confirmed(held->dialog, confirmed ? TRUE : FALSE);
          held->close();
        });
        break;
      case WEBKIT_SCRIPT_DIALOG_PROMPT:
        self->client_.engineRunPrompt(
            message, optionalText(webkit_script_dialog_prompt_get_default_text(dialog)),
            [held](std::optional<std::string> text) {
              // No text is the prompt cancelled: the page gets null.
              if (text) webkit_script_dialog_prompt_set_text(held->dialog, text->c_str());
              held->close();
            });
        break;
      default:  // leaving the page: allowed
        webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
        held->closed = true;
        break;
      }
    });
    held->inSignal = false;
    return TRUE;
  }

  static gboolean onPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request,
                                      gpointer data) {
    auto* self = static_cast<GtkWebEngine*>(data);
    if (!WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request)) {
      webkit_permission_request_deny(request);
      return TRUE;
    }
    auto* media = WEBKIT_USER_MEDIA_PERMISSION_REQUEST(request);
    const bool audio = webkit_user_media_permission_is_for_audio_device(media) == TRUE;
    const bool video = webkit_user_media_permission_is_for_video_device(media) == TRUE;
    const std::int64_t type = audio && video ? kMediaCaptureTypeCameraAndMicrophone
                              : audio        ? kMediaCaptureTypeMicrophone
                                             : kMediaCaptureTypeCamera;
    auto held = retained(request);
    bool asked = false;
    guarded("permission request", [&] {
      asked = true;
      self->client_.engineRequestMediaCapturePermission(type, [held](std::int64_t decision) {
        // No prompt of our own: only a grant allows.
        if (decision == kPermissionDecisionGrant) {
          webkit_permission_request_allow(held.get());
        } else {
          webkit_permission_request_deny(held.get());
        }
      });
    });
    if (!asked) webkit_permission_request_deny(request);
    return TRUE;
  }

  static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
    auto* self = static_cast<GtkWebEngine*>(data);
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    guarded("new window", [&] {
      if (auto url = platform::URL::parse(uri ? uri : "")) self->client_.engineOpenWindow(*url);
    });
    return nullptr;
  }

  static gboolean onAuthenticate(WebKitWebView*, WebKitAuthenticationRequest* request,
                                 gpointer data) {
    auto* self = static_cast<GtkWebEngine*>(data);
    const WebKitAuthenticationScheme scheme = webkit_authentication_request_get_scheme(request);
    if (scheme == WEBKIT_AUTHENTICATION_SCHEME_SERVER_TRUST_EVALUATION_REQUESTED ||
        scheme == WEBKIT_AUTHENTICATION_SCHEME_CLIENT_CERTIFICATE_REQUESTED ||
        scheme == WEBKIT_AUTHENTICATION_SCHEME_CLIENT_CERTIFICATE_PIN_REQUESTED) {
      webkit_authentication_request_cancel(request);
      return TRUE;
    }
    auto space = std::make_shared<ProtectionSpace>(
        optionalText(webkit_authentication_request_get_host(request)).value_or(""),
        static_cast<std::int64_t>(webkit_authentication_request_get_port(request)),
        optionalText(webkit_authentication_request_get_realm(request)),
        authenticationMethodOf(scheme));
    auto held = retained(request);
    bool asked = false;
    guarded("authentication", [&] {
      asked = true;
      self->client_.engineReceiveAuthenticationChallenge(
          space, [held](std::int64_t disposition, std::shared_ptr<URLCredential> credential) {
            if (disposition == kAuthChallengeCancel) {
              webkit_authentication_request_cancel(held.get());
              return;
            }
            if (disposition == kAuthChallengeUseCredential && credential && credential->user) {
              WebKitCredential* answer = webkit_credential_new(
                  credential->user->c_str(), credential->password.value_or("").c_str(),
                  persistenceOf(credential->persistence));
              webkit_authentication_request_authenticate(held.get(), answer);
              webkit_credential_free(answer);
              return;
            }
            // Default handling, a rejected space or no usable credential: go on without one.
            webkit_authentication_request_authenticate(held.get(), nullptr);
          });
    });
    if (!asked) webkit_authentication_request_cancel(request);
    return TRUE;
  }

  static void onJavaScriptFinished(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<JavaScriptCompletion> completion(static_cast<JavaScriptCompletion*>(data));
    GError* error = nullptr;
    JSCValue* value =
        webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
    guarded("script evaluation", [&] {
      if (!*completion) return;
      if (error) {
        auto failure = std::make_shared<const platform::Error>(
            kWebKitErrorDomain, kWebKitErrorJavaScriptExceptionOccurred,
            platform::ValueMap{
                {Value("NSLocalizedDescription"), Value("A JavaScript exception occurred")},
                {Value("WKJavaScriptExceptionMessage"), Value(std::string(error->message))}});
        (*completion)(std::nullopt, failure);
      } else {
        (*completion)(valueOfJavaScript(value), nullptr);
      }
    });
    if (error) g_error_free(error);
    if (value) g_object_unref(value);
  }

  WebEngineClient& client_;
  const std::shared_ptr<WebViewConfiguration> configuration_;
  WebKitUserContentManager* content_ = nullptr;
  WebKitWebView* view_ = nullptr;
  GtkWidget* window_ = nullptr;
  std::vector<std::pair<gpointer, gulong>> signals_;
  std::vector<std::shared_ptr<UserScript>> scripts_;
  std::map<std::string, std::unique_ptr<MessageHandler>> handlers_;
  std::optional<std::int64_t> statusCode_;
  bool failed_ = false;
};

class GtkWebEngineFactory final : public WebEngineFactory {
 public:
  std::unique_ptr<WebEngine>
  create(WebEngineClient& client,
         const std::shared_ptr<WebViewConfiguration>& configuration) override {
    return std::make_unique<GtkWebEngine>(client, configuration);
  }
};

// --- Cookies and website data ------------------------------------------------------------

struct DataTypeFlag {
  const char* name;
  WebKitWebsiteDataTypes flag;
};

const std::vector<DataTypeFlag>& dataTypeFlags() {
  static const std::vector<DataTypeFlag> flags = {
      {website_data_type::kCookies, WEBKIT_WEBSITE_DATA_COOKIES},
      {website_data_type::kMemoryCache, WEBKIT_WEBSITE_DATA_MEMORY_CACHE},
      {website_data_type::kDiskCache, WEBKIT_WEBSITE_DATA_DISK_CACHE},
      {website_data_type::kOfflineWebApplicationCache,
       WEBKIT_WEBSITE_DATA_OFFLINE_APPLICATION_CACHE},
      {website_data_type::kLocalStorage, WEBKIT_WEBSITE_DATA_LOCAL_STORAGE},
      {website_data_type::kSessionStorage, WEBKIT_WEBSITE_DATA_SESSION_STORAGE},
      {website_data_type::kWebSQLDatabases, WEBKIT_WEBSITE_DATA_WEBSQL_DATABASES},
      {website_data_type::kIndexedDBDatabases, WEBKIT_WEBSITE_DATA_INDEXEDDB_DATABASES},
  };
  return flags;
}

// The engine's flags of the named types; names it does not know add nothing.
WebKitWebsiteDataTypes dataTypesOf(const std::set<std::string>& types) {
  unsigned flags = 0;
  for (const auto& entry : dataTypeFlags()) {
    if (types.count(entry.name)) flags |= entry.flag;
  }
  return static_cast<WebKitWebsiteDataTypes>(flags);
}

std::optional<std::string> textProperty(const platform::ValueMap& properties, const char* key) {
  auto it = properties.find(Value(key));
  if (it == properties.end() || !it->second.isString()) return std::nullopt;
  return it->second.asString();
}

// A flag property: true, or text "TRUE"/"true"/"1"/"yes".
bool flagProperty(const platform::ValueMap& properties, const char* key) {
  auto it = properties.find(Value(key));
  if (it == properties.end()) return false;
  if (it->second.isBool()) return it->second.asBool();
  if (!it->second.isString()) return false;
  const std::string& text = it->second.asString();
  return text == "TRUE" || text == "true" || text == "1" || text == "yes";
}

// A number property given as a number or as decimal text.
std::optional<double> numberProperty(const platform::ValueMap& properties, const char* key) {
  auto it = properties.find(Value(key));
  if (it == properties.end()) return std::nullopt;
  if (it->second.isDouble()) return it->second.asDouble();
  if (it->second.isInt()) return static_cast<double>(it->second.asInt());
  if (it->second.isString()) {
    const std::string& text = it->second.asString();
    char* end = nullptr;
    const double number = g_ascii_strtod(text.c_str(), &end);
    if (!text.empty() && end && *end == '\0') return number;
  }
  return std::nullopt;
}

// The engine's cookie for ours: name, value, domain and path, with its expiry (Max-Age in
// seconds, or Expires as seconds since 1970 or an HTTP date), Secure and SameSite. Without an
// expiry it lasts the session.
SoupCookie* soupCookieOf(const HTTPCookie& cookie) {
  const auto& properties = cookie.properties();
  SoupCookie* soup = soup_cookie_new(cookie.name().c_str(), cookie.value().c_str(),
                                     cookie.domain().c_str(), cookie.path().c_str(), -1);
  if (auto maxAge = numberProperty(properties, cookie_property::kMaximumAge)) {
    soup_cookie_set_max_age(soup, static_cast<int>(std::max(0.0, *maxAge)));
  } else if (auto expires = numberProperty(properties, cookie_property::kExpires)) {
    GDateTime* date = g_date_time_new_from_unix_utc(static_cast<gint64>(*expires));
    if (date) {
      soup_cookie_set_expires(soup, date);
      g_date_time_unref(date);
    }
  } else if (auto text = textProperty(properties, cookie_property::kExpires)) {
    GDateTime* date = soup_date_time_new_from_http_string(text->c_str());
    if (date) {
      soup_cookie_set_expires(soup, date);
      g_date_time_unref(date);
    }
  }
  soup_cookie_set_secure(soup, flagProperty(properties, cookie_property::kSecure) ? TRUE : FALSE);
  if (auto sameSite = textProperty(properties, cookie_property::kSameSitePolicy)) {
    std::string policy = *sameSite;
    std::transform(policy.begin(), policy.end(), policy.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (policy == "lax") soup_cookie_set_same_site_policy(soup, SOUP_SAME_SITE_POLICY_LAX);
    if (policy == "strict") soup_cookie_set_same_site_policy(soup, SOUP_SAME_SITE_POLICY_STRICT);
    if (policy == "none") soup_cookie_set_same_site_policy(soup, SOUP_SAME_SITE_POLICY_NONE);
  }
  return soup;
}

// Our cookie for the engine's: the properties it holds, Expires as seconds since 1970 and
// Secure as "TRUE" where set.
std::shared_ptr<HTTPCookie> cookieOf(SoupCookie* soup) {
  platform::ValueMap properties{
      {Value(cookie_property::kName), Value(std::string(soup_cookie_get_name(soup)))},
      {Value(cookie_property::kValue), Value(std::string(soup_cookie_get_value(soup)))},
      {Value(cookie_property::kDomain), Value(std::string(soup_cookie_get_domain(soup)))},
      {Value(cookie_property::kPath), Value(std::string(soup_cookie_get_path(soup)))}};
  if (GDateTime* expires = soup_cookie_get_expires(soup))
    properties[Value(cookie_property::kExpires)] =
        Value(static_cast<double>(g_date_time_to_unix(expires)));
  if (soup_cookie_get_secure(soup)) properties[Value(cookie_property::kSecure)] = Value("TRUE");
  switch (soup_cookie_get_same_site_policy(soup)) {
  case SOUP_SAME_SITE_POLICY_LAX:
    properties[Value(cookie_property::kSameSitePolicy)] = Value("lax");
    break;
  case SOUP_SAME_SITE_POLICY_STRICT:
    properties[Value(cookie_property::kSameSitePolicy)] = Value("strict");
    break;
  default:
    break;
  }
  return HTTPCookie::cookieWithProperties(properties);
}

// Holds a completion across one asynchronous engine call.
template <typename Completion> struct Pending { Completion completion; };

template <typename Completion> gpointer pending(Completion completion) {
  return new Pending<Completion>{std::move(completion)};
}

template <typename Completion> std::unique_ptr<Pending<Completion>> takePending(gpointer data) {
  return std::unique_ptr<Pending<Completion>>(static_cast<Pending<Completion>*>(data));
}

// Logs an engine call's failure; the caller's completion still runs.
void logFailure(const char* what, GError* error) {
  if (!error) return;
  engineLog()->error(std::string(what) + " failed: " + error->message);
  g_error_free(error);
}

// Runs `completion` once every one of the calls it was shared with (and the dispatcher, which
// holds one share until it has started them all) has finished.
class Join {
 public:
  explicit Join(std::function<void()> completion) : completion_(std::move(completion)) {}
  void add() { ++outstanding_; }
  void done() {
    if (--outstanding_ > 0) return;
    guarded("website data removed", [&] {
      if (completion_) completion_();
    });
  }

 private:
  std::function<void()> completion_;
  int outstanding_ = 1;
};

double secondsNow() {
  return static_cast<double>(g_get_real_time()) / static_cast<double>(G_TIME_SPAN_SECOND);
}

// When each of the engine's cookies last changed. The engine keeps no such date, so we note it:
// a cookie is dated when it is set through us, and when the engine reports a change, every
// cookie new or different since the last look is dated then. A cookie first seen at a removal
// is dated then too (it changed after the last look).
class CookieDates {
 public:
  explicit CookieDates(WebKitCookieManager* cookies) : cookies_(cookies) {}

  void noteSet(SoupCookie* cookie, double when) {
    known_[keyOf(cookie)] = Known{stateOf(cookie), when};
  }

  // Brings the dates up to `all`, the engine's cookies now.
  void noteAll(GList* all, double when) {
    std::map<Key, Known> seen;
    for (GList* item = all; item; item = item->next) {
      auto* cookie = static_cast<SoupCookie*>(item->data);
      const Key key = keyOf(cookie);
      const std::string state = stateOf(cookie);
      auto it = known_.find(key);
      seen[key] = it != known_.end() && it->second.state == state ? it->second : Known{state, when};
    }
    known_ = std::move(seen);
  }

  double dateOf(SoupCookie* cookie) const {
    auto it = known_.find(keyOf(cookie));
    return it == known_.end() ? secondsNow() : it->second.modifiedAt;
  }

  WebKitCookieManager* cookies() const { return cookies_; }

 private:
  using Key = std::tuple<std::string, std::string, std::string>;
  struct Known {
    std::string state;
    double modifiedAt = 0;
  };
  static Key keyOf(SoupCookie* cookie) {
    return {soup_cookie_get_name(cookie), soup_cookie_get_domain(cookie),
            soup_cookie_get_path(cookie)};
  }
  static std::string stateOf(SoupCookie* cookie) {
    GDateTime* expires = soup_cookie_get_expires(cookie);
    return std::string(soup_cookie_get_value(cookie)) + "\n" +
           std::to_string(expires ? g_date_time_to_unix(expires) : -1) + "\n" +
           (soup_cookie_get_secure(cookie) ? "s" : "") +
           (soup_cookie_get_http_only(cookie) ? "h" : "") + "\n" +
           std::to_string(static_cast<int>(soup_cookie_get_same_site_policy(cookie)));
  }

  WebKitCookieManager* cookies_;
  std::map<Key, Known> known_;
};

class GtkWebsiteData final : public WebsiteDataBackend {
 public:
  GtkWebsiteData()
      : manager_(WEBKIT_WEBSITE_DATA_MANAGER(g_object_ref(
            webkit_web_context_get_website_data_manager(webkit_web_context_get_default())))),
        dates_(std::make_shared<CookieDates>(
            webkit_website_data_manager_get_cookie_manager(manager_))) {
    signalData_ = new std::weak_ptr<CookieDates>(dates_);
    changed_ =
        g_signal_connect(dates_->cookies(), "changed", G_CALLBACK(onCookiesChanged), signalData_);
  }
  ~GtkWebsiteData() override {
    g_signal_handler_disconnect(dates_->cookies(), changed_);
    delete signalData_;
    g_object_unref(manager_);
  }

  void setCookie(const std::shared_ptr<HTTPCookie>& cookie,
                 std::function<void()> completion) override {
    SoupCookie* soup = soupCookieOf(*cookie);
    dates_->noteSet(soup, secondsNow());
    webkit_cookie_manager_add_cookie(
        dates_->cookies(), soup, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto held = takePending<std::function<void()>>(data);
          GError* error = nullptr;
          webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, &error);
          logFailure("setting a cookie", error);
          guarded("cookie set", [&] {
            if (held->completion) held->completion();
          });
        },
        pending(std::move(completion)));
    soup_cookie_free(soup);
  }

  void getAllCookies(std::function<void(Cookies)> completion) override {
    webkit_cookie_manager_get_all_cookies(
        dates_->cookies(), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto held = takePending<std::function<void(Cookies)>>(data);
          GError* error = nullptr;
          GList* list = webkit_cookie_manager_get_all_cookies_finish(WEBKIT_COOKIE_MANAGER(source),
                                                                     result, &error);
          logFailure("reading the cookies", error);
          Cookies out;
          for (GList* item = list; item; item = item->next) {
            if (auto cookie = cookieOf(static_cast<SoupCookie*>(item->data)))
              out.push_back(std::move(cookie));
          }
          g_list_free_full(list, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
          guarded("cookies read", [&] { held->completion(std::move(out)); });
        },
        pending(std::move(completion)));
  }

  void
  fetchDataRecordsOfTypes(const std::set<std::string>& types,
                          std::function<void(std::vector<WebsiteDataRecord>)> completion) override {
    using Completion = std::function<void(std::vector<WebsiteDataRecord>)>;
    const WebKitWebsiteDataTypes flags = dataTypesOf(types);
    if (flags == 0) {
      platform::mainQueue()->async([completion = std::move(completion)] { completion({}); });
      return;
    }
    webkit_website_data_manager_fetch(
        manager_, flags, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto held = takePending<Completion>(data);
          GError* error = nullptr;
          GList* list = webkit_website_data_manager_fetch_finish(
              WEBKIT_WEBSITE_DATA_MANAGER(source), result, &error);
          logFailure("fetching website data", error);
          // One record per origin and type; the engine keeps no modification date.
          std::vector<WebsiteDataRecord> records;
          for (GList* item = list; item; item = item->next) {
            const unsigned has =
                webkit_website_data_get_types(static_cast<WebKitWebsiteData*>(item->data));
            for (const auto& entry : dataTypeFlags()) {
              if (has & entry.flag) records.push_back(WebsiteDataRecord{entry.name, 0});
            }
          }
          g_list_free_full(list, reinterpret_cast<GDestroyNotify>(webkit_website_data_unref));
          guarded("website data fetched", [&] { held->completion(std::move(records)); });
        },
        pending(Completion(std::move(completion))));
  }

  void removeDataOfTypes(const std::set<std::string>& types, double since,
                         std::function<void()> completion) override {
    auto join = std::make_shared<Join>(std::move(completion));
    const auto flags = static_cast<unsigned>(dataTypesOf(types));
    const double now = secondsNow();
    if (since <= 0) {
      // Everything of these types: a time span of 0.
      if (flags) clear(flags, 0, join);
    } else if (flags && since <= now) {
      // The engine clears what changed in the time span ending now, except cookies, which it
      // cannot clear by time: those go one by one, by the dates we noted.
      const unsigned others = flags & ~static_cast<unsigned>(WEBKIT_WEBSITE_DATA_COOKIES);
      const auto span =
          std::max<GTimeSpan>(1, static_cast<GTimeSpan>((now - since) * G_TIME_SPAN_SECOND));
      if (others) clear(others, span, join);
      if (flags & WEBKIT_WEBSITE_DATA_COOKIES) removeCookiesSince(since, join);
    }
    // A date still to come, or no type the engine knows: nothing to remove.
    platform::mainQueue()->async([join] { join->done(); });
  }

 private:
  static void onCookiesChanged(WebKitCookieManager* cookies, gpointer data) {
    auto dates = static_cast<std::weak_ptr<CookieDates>*>(data)->lock();
    if (!dates) return;
    webkit_cookie_manager_get_all_cookies(
        cookies, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto held = takePending<std::weak_ptr<CookieDates>>(data);
          GList* list = webkit_cookie_manager_get_all_cookies_finish(WEBKIT_COOKIE_MANAGER(source),
                                                                     result, nullptr);
          if (auto dates = held->completion.lock()) dates->noteAll(list, secondsNow());
          g_list_free_full(list, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
        },
        pending(std::weak_ptr<CookieDates>(dates)));
  }

  void clear(unsigned flags, GTimeSpan span, const std::shared_ptr<Join>& join) {
    join->add();
    webkit_website_data_manager_clear(
        manager_, static_cast<WebKitWebsiteDataTypes>(flags), span, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto held = takePending<std::shared_ptr<Join>>(data);
          GError* error = nullptr;
          webkit_website_data_manager_clear_finish(WEBKIT_WEBSITE_DATA_MANAGER(source), result,
                                                   &error);
          logFailure("removing website data", error);
          held->completion->done();
        },
        pending(join));
  }

  // Deletes the cookies dated at or after `since`.
  void removeCookiesSince(double since, const std::shared_ptr<Join>& join) {
    struct Removal {
      std::shared_ptr<CookieDates> dates;
      std::shared_ptr<Join> join;
      double since;
    };
    join->add();
    webkit_cookie_manager_get_all_cookies(
        dates_->cookies(), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto held = takePending<Removal>(data);
          auto& removal = held->completion;
          GError* error = nullptr;
          GList* list = webkit_cookie_manager_get_all_cookies_finish(WEBKIT_COOKIE_MANAGER(source),
                                                                     result, &error);
          logFailure("reading the cookies", error);
          removal.dates->noteAll(list, secondsNow());
          for (GList* item = list; item; item = item->next) {
            auto* cookie = static_cast<SoupCookie*>(item->data);
            if (removal.dates->dateOf(cookie) < removal.since) continue;
            removal.join->add();
            webkit_cookie_manager_delete_cookie(
                WEBKIT_COOKIE_MANAGER(source), cookie, nullptr,
                [](GObject* source, GAsyncResult* result, gpointer data) {
                  auto done = takePending<std::shared_ptr<Join>>(data);
                  GError* error = nullptr;
                  webkit_cookie_manager_delete_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result,
                                                             &error);
                  logFailure("removing a cookie", error);
                  done->completion->done();
                },
                pending(removal.join));
          }
          g_list_free_full(list, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
          removal.join->done();
        },
        pending(Removal{dates_, join, since}));
  }

  WebKitWebsiteDataManager* manager_;
  std::shared_ptr<CookieDates> dates_;
  gulong changed_ = 0;
  std::weak_ptr<CookieDates>* signalData_ = nullptr;
};

WebKitGtkStart startOnce() {
  WebKitGtkStart start;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const std::string named = wayland && *wayland ? wayland : x11 && *x11 ? x11 : "";
  if (named.empty()) {
    start.reason = "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
    return start;
  }
  if (!platform::MainLoop::isMainThread()) {
    start.reason = "not started on the main thread";
    return start;
  }
  if (!platform::integrateGLibMainContext()) {
    start.reason = "GLib's main context belongs to another thread";
    return start;
  }
  if (!gtk_init_check(nullptr, nullptr)) {
    start.reason = "GTK cannot open the display " + named;
    return start;
  }
  GdkDisplay* display = gdk_display_get_default();
  start.display = display ? gdk_display_get_name(display) : named;
  start.version = std::to_string(webkit_get_major_version()) + "." +
                  std::to_string(webkit_get_minor_version()) + "." +
                  std::to_string(webkit_get_micro_version());
  start.started = true;
  return start;
}

}  // namespace

WebKitGtkStart startWebKitGtk() {
  static const WebKitGtkStart start = startOnce();
  return start;
}

std::shared_ptr<WebEngineFactory> makeWebKitGtkEngineFactory() {
  if (!LUMORA_CHECK(startWebKitGtk().started, "the web engine factory before GTK started"))
    return nullptr;
  return std::make_shared<GtkWebEngineFactory>();
}

std::shared_ptr<WebsiteDataBackend> makeWebKitGtkWebsiteDataBackend() {
  if (!LUMORA_CHECK(startWebKitGtk().started, "the engine's website data before GTK started"))
    return nullptr;
  return std::make_shared<GtkWebsiteData>();
}

bool installWebKitGtkEngineWhereDisplayed() {
  const WebKitGtkStart start = startWebKitGtk();
  if (!start.started) {
    // The web view plugin says so when it registers.
    setSimulatedEngineReason(start.reason);
    return false;
  }
  setWebEngineFactory(makeWebKitGtkEngineFactory());
  WebsiteDataStore::defaultDataStore()->setBackend(makeWebKitGtkWebsiteDataBackend());
  engineLog()->notice("web view engine: WebKitGTK " + start.version + " on " + start.display);
  return true;
}

}  // namespace platform::webkit
