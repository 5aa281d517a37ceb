// Numbers of the resources that kestrix.rc embeds in kestrix.exe. Included
// by the resource script and by the code that loads them.
#pragma once

// The program icon (kestrix.ico): 16, 24, 32, 48 and 256 pixels.
#define IDI_KESTRIX 1

// 48x16 strip of 16x16 menu images: show results, about, exit. 24-bit,
// magenta (255,0,255) marks the transparent pixels.
#define IDB_MENU 101

// 64x16 strip of 16x16 list images, one per category: virus, danger,
// suspicious, junk. Same format.
#define IDB_CATEGORIES 102

// 16x16 glyph for the clean button (a broom). Same format.
#define IDB_GLYPH_CLEAN 103

// The options dialog's picture: a 100x175 baseline JPEG (RCDATA).
#define IDR_OPTIONS_PICTURE 104
