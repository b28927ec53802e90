/*
 * A MinGW host built against an unpacked Windows package: quibex.h and
 * libquibex.dll.a from it, quibex.dll beside the program. It calls plain
 * exports and STD twins through the import library and prints what it got.
 */
#include <stdio.h>

#include "quibex.h"

int main(void) {
  static char text[] = "(x,y)=x^2+y";
  static char ctext[] = "(z)=z*z";
  int32_t last = -7;
  int failures = 0;
  if (setfornum(2) != 1 || STDCsetfornum(1) != 1 || Isetfornum(1) != 1) failures++;
  STDuserci();
  if (STDrcom(0, text, &last) != QX_OK || last != 1) failures++;
  const double args[2] = {3.0, 0.5};
  if (rcal(0, args) != 9.5 || STDrcal(0, args) != 9.5) failures++;
  if (Ccom(0, ctext, &last) != QX_OK) failures++;
  const QxComplex z = {1.0, 1.0};
  const QxComplex a = Ccal(0, &z), b = STDCcal(0, &z);
  if (a.re != 0.0 || a.im != 2.0 || b.re != 0.0 || b.im != 2.0) failures++;
  printf("%s: %s\n", STDver(), failures ? "FAILED" : "ok");
  deletedll();
  return failures ? 1 : 0;
}
