/* KTUtils2.h - former name of KTHostText.h, kept until its last include is changed: include KTHostText.h instead. */
#ifndef KTUTILS2_H
#define KTUTILS2_H

#include "KTHostText.h"

#endif /* KTUTILS2_H */
