// Floating-point work the compiler fuses into madd and msub when allowed:
// the footprint entries' erratum check must find it.
double madd_probe_dot(const double *a, const double *b, int n) {
  double sum = 0;
  for (int i = 0; i < n; i++) {
    sum += a[i] * b[i];
  }
  return sum;
}

float madd_probe_axpy(float a, float x, float y) { return a * x + y; }
