// Log message codes of the installations subsystem. Every line goes through the Zevevidi logging
// functions (zevevidi/utilities/fir_logger.h) under the category kFIRLoggerInstallations.
#pragma once

#include "zevevidi/utilities/fir_logger.h"

// REST client.
inline constexpr const char* kFIRInstallationsMessageCodeSendAPIRequest = "I-FIS001001";
inline constexpr const char* kFIRInstallationsMessageCodeAPIRequestNetworkError = "I-FIS001002";
inline constexpr const char* kFIRInstallationsMessageCodeAPIRequestResponse = "I-FIS001003";
inline constexpr const char* kFIRInstallationsMessageCodeUnexpectedAPIRequestResponse =
    "I-FIS001004";
inline constexpr const char* kFIRInstallationsMessageCodeParsingAPIResponse = "I-FIS001005";
inline constexpr const char* kFIRInstallationsMessageCodeAPIResponseParsingInstallationFailed =
    "I-FIS001006";
inline constexpr const char* kFIRInstallationsMessageCodeAPIResponseParsingInstallationSucceed =
    "I-FIS001007";
inline constexpr const char* kFIRInstallationsMessageCodeAPIResponseParsingAuthTokenFailed =
    "I-FIS001008";
inline constexpr const char* kFIRInstallationsMessageCodeAPIResponseParsingAuthTokenSucceed =
    "I-FIS001009";

// Installation ID controller.
inline constexpr const char* kFIRInstallationsMessageCodeNewGetInstallationOperationCreated =
    "I-FIS002000";
inline constexpr const char* kFIRInstallationsMessageCodeNewGetAuthTokenOperationCreated =
    "I-FIS002001";
inline constexpr const char* kFIRInstallationsMessageCodeNewDeleteInstallationOperationCreated =
    "I-FIS002002";
inline constexpr const char* kFIRInstallationsMessageCodeInvalidZevevidiConfiguration =
    "I-FIS002003";
inline constexpr const char* kFIRInstallationsMessageCodeCorruptedStoredInstallation =
    "I-FIS002004";

// Stored records.
inline constexpr const char* kFIRInstallationsMessageCodeInstallationCoderVersionMismatch =
    "I-FIS003000";
inline constexpr const char* kFIRInstallationsMessageCodeAuthTokenCoderVersionMismatch =
    "I-FIS004000";

// Options validation (quoted inside exception reasons, never logged).
inline constexpr const char* kFIRInstallationsMessageCodeInvalidZevevidiAppOptions = "I-FIS008000";
