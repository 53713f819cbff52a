// APMEvent: one logged event of the measurement core: origin, name, time, the time of the
// previous event of that name, and its normalised parameters, which also carry the flags "_o"
// (origin), "_c" (conversion), "_r" (realtime), "_dbg" (debug) and the error parameters. It
// converts itself to and from the Event wire message and the script runtime's event.
//
// Held by std::shared_ptr; the initialiser answers null when a check fails. The flag setters and
// the parameter merges change an event in place and are used by one thread at a time (the
// measurement worker queue while the pipeline holds the event). The analytics interface's
// FIRAEvent is the same type.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/model/apm_value.h"
#include "measurement/model/apmp_event_editing.h"
#include "platform/core/value.h"

class APMEvent {
 public:
  // Null when the origin or the name fails its check (the validator reports why). Parameters are
  // normalised (public rules when isPublic) and "_o" is set to the origin.
  static std::shared_ptr<APMEvent> initWithOrigin(const std::string& origin, bool isPublic,
                                                  const std::string& name, double timestamp,
                                                  double previousTimestamp,
                                                  platform::ValueMap parameters);

  // Copies run the initialiser again with isPublic false.
  std::shared_ptr<APMEvent> copy() const;
  std::shared_ptr<APMEvent> copyWithParameters(platform::ValueMap parameters) const;
  // The same, except that parameters the initialiser normalised (and only the flag setters changed
  // since) are taken as they are: normalising them again under the same limits gives the same
  // map. Meant for events made moments before (one bundling pass), not kept across a change of
  // the remote limits.
  std::shared_ptr<APMEvent> copyWithPreviousTimestamp(double previousTimestamp) const;

  bool isConversion() const;
  // True: "_c" = 1 when the conversion value rule passes (an "_err" 10 is dropped). False: "_c"
  // removed and "_err" 10 recorded when "_c" was there.
  void setConversion(bool conversion);
  bool isRealtime() const;
  void setRealtime(bool realtime);
  bool isDebug() const;
  void setDebug(bool debug);
  // Conversions and ad impressions carry a checked "value".
  bool shouldValidateParams() const;

  // Merges further parameters (normalised first); the event's own parameters win.
  void applyParameters(platform::ValueMap parameters, bool isPublic);
  // Adds "_si", and "_sc" and "_sn" when present, from `screen`; false and no change when the
  // event has screen parameters already or `screen` is not acceptable.
  bool addScreenParameters(const platform::ValueMap& screen);

  APMPEvent editEvent() const;
  static std::shared_ptr<APMEvent> eventFromEditEvent(const APMPEvent& editEvent);

  // The Event wire message; "items" become nested parameters.
  std::shared_ptr<APMPBEvent> protoEvent() const;
  // From the wire; array parameters are not restored. Null without a string "_o".
  static std::shared_ptr<APMEvent> initWithEventProto(const APMPBEvent& proto);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  const platform::ValueMap& parameters() const { return parameters_; }
  // The parameter's value, or none.
  std::optional<APMValue> parameter(std::string_view name) const;

  APMEvent(std::string origin, std::string name, double timestamp, double previousTimestamp,
           platform::ValueMap parameters);

 private:
  std::string origin_;
  std::string name_;
  double timestamp_;
  double previousTimestamp_;
  platform::ValueMap parameters_;
  // Set by the initialiser; cleared by every change other than the flag setters.
  bool normalized_ = false;
};

using FIRAEvent = APMEvent;

// Seconds since 1970 to milliseconds: truncated toward zero, saturated at the int64 range, NaN 0.
std::int64_t APMMillisecondsFromSeconds(double seconds);

// Parameters to EventParam messages (nested: inside an item, where arrays are not allowed).
platform::ValueList APMEventParamProtoFromDictionary(const platform::ValueMap& parameters,
                                                     const std::string& eventName, bool nested);
// Parameters as plain numbers, strings and lists of maps (nested: no lists).
platform::ValueMap APMEventParamObjectFromDictionary(const platform::ValueMap& parameters,
                                                     bool nested);
// Puts `messages` into the events list of `bundle` as NANOSetArray would with copies of them, by
// moving each message's contents: `messages` must be their only holder, and is emptied. False,
// with nothing changed, when a copy could come out differently (a shared or missing message, a
// missing element, nesting deeper than the codec copies); the caller then copies.
bool APMMoveEventMessagesIntoBundle(std::vector<std::shared_ptr<APMPBEvent>>& messages,
                                    APMPBMeasurementBundle& bundle);
// Whether a list of EventParam messages holds the name (reported when it does).
bool APMHasProtoParameter(const platform::ValueList& params, const std::string& name);
