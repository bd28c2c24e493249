// levelling-demo: turns six points on a level plane by three typed angles, estimates the two
// angles that level the plane again and prints every step.
#include <cstdio>

#include "app/key_press.h"
#include "app/run.h"

int main() {
  levelling::keep_typeahead_for_key(stdin);
  return levelling::run_demonstration(stdin, stdout, levelling::read_key_press);
}
