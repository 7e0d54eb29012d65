// Resource identifiers of the property page and the About page.
#pragma once

#define IDD_SPYFILTERPP 103
#define IDD_ABOUTSPYFILTER 109
#define IDB_ABOUT_BANNER 300
#define IDS_TITLE_SPYFILTERPP 1103
#define IDS_TITLE_ABOUTSPYFILTER 1109

// Property page controls.
#define IDC_PP_TOTAL 201
#define IDC_PP_MOVING 202
#define IDC_PP_SAMPLES 203
#define IDC_PP_DYNRECONNECT 210
#define IDC_PP_PASSTHRU 211
#define IDC_PP_CHECKSUM 212
#define IDC_PP_MTENUM 213
#define IDC_PP_POSITION 220
#define IDC_PP_BACKWARD 221
#define IDC_PP_RATE 222
#define IDC_PP_RATE_TEXT 223
#define IDC_PP_FILE_BUTTON 230
#define IDC_PP_FILE 231
#define IDC_PP_NSAMPLES 232
#define IDC_PP_NSAMPLES_SPIN 233
#define IDC_PP_ONE_PER_FILE 234
#define IDC_PP_START 235

// About page controls (the template's fixed identifiers 301 to 305).
#define IDC_ABOUT_BANNER_CTL 301
#define IDC_ABOUT_VERSION_CTL 302
#define IDC_ABOUT_URL_CTL 303
#define IDC_ABOUT_SUPPORT_CTL 304
#define IDC_ABOUT_LEGAL_CTL 305
