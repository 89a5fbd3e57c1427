/* The baseline for the start-up cost: an empty C program, gcc -O0 -g. */
int main(void) {
  return 0;
}
