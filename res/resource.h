// Resource ids of the add-on module, shared by the resource script and the code.
#pragma once

// Dialog template 9: the configuration dialog, also the template of the hidden lookup window.
#define IDD_QBNOTIFY_CONFIGURE 9

// Icon
#define IDI_QBNOTIFY 7001

// Controls of dialog 9
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#define IDC_SMTP_SERVER 7000
#define IDC_SMTP_PORT 7001
#define IDC_DELIVER_TO 7002
#define IDC_FROM_EMAIL 7003
#define IDC_LOG_LINES 7004
#define IDC_SUBJECT 7005
#define IDC_NOTIFY_WHEN 7006
#define IDC_SCOPE_TEXT 7007
#define IDC_HELP_BUTTON 7008

// Strings: result texts are IDS_RESULT_BASE + result code (0..12 exist)
#define IDS_RESULT_BASE 6500

#define IDS_ADDON_NAME 7000
#define IDS_ERR_NO_SMTP_SERVER 7001
#define IDS_ERR_NO_DELIVER_TO 7002
#define IDS_ERR_NO_FROM_EMAIL 7003
#define IDS_ERR_BAD_ADDRESS 7004
#define IDS_SCOPE_PROFILE 7005
#define IDS_PREFIX_COMMAND 7006
#define IDS_PREFIX_STATUS 7007
#define IDS_PREFIX_ERROR 7008
#define IDS_DEFAULT_SUBJECT 7009
#define IDS_LOG_SEPARATOR 7010
#define IDS_MAIL_INTRO 7011
#define IDS_ERR_HELP_FILE 7012
#define IDS_ERR_INSTALL 7013
#define IDS_ERR_HOST_NOT_FOUND 7014
#define IDS_ERR_UNINSTALL 7015
#define IDS_ERR_HOST_VERSION 7016
#define IDS_ERR_SAVE_FAILED 7017

#define IDS_EVENT_CONNECTION_START 7100
#define IDS_EVENT_FILE_DOWNLOADED 7101
#define IDS_EVENT_FILE_UPLOADED 7102
#define IDS_EVENT_FILE_DELETED 7103
#define IDS_EVENT_FILE_RENAMED 7104
#define IDS_EVENT_DIR_CREATED 7105
#define IDS_EVENT_DIR_DELETED 7106
#define IDS_EVENT_CONNECTION_END 7107
