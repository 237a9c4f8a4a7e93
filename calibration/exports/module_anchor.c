/* The module is linked from the calibration library as a whole; this file only gives the shared
   library target a source of its own. */
typedef int serivane_module_anchor;
