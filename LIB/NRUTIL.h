// Grid and vector allocation.
//
// A grid of NbLig lines and NbCol columns is an array of NbLig row pointers, each pointing
// to a separately allocated, zero-filled line of NbCol elements; it is addressed
// grid[line][column]. A grid does not record its size: its owner keeps NbCol and NbLig and
// hands NbLig back to the release function. A vector is one zero-filled block of NbCol
// elements.
//
// Every allocator takes the column count first. It returns null when a count is zero or
// negative, or when memory runs out; an allocation that fails midway gives back all it had
// obtained before returning null. Releasing a null grid or vector does nothing.
#ifndef NRUTIL_H
#define NRUTIL_H

float **fmatrice(int NbCol, int NbLig);
unsigned char **ucmatrice(int NbCol, int NbLig);
unsigned short **usmatrice(int NbCol, int NbLig);
short **smatrice(int NbCol, int NbLig);
int **imatrice(int NbCol, int NbLig);
double **dmatrice(int NbCol, int NbLig);
long double **ldmatrice(int NbCol, int NbLig);

void frfmatrice(float **Mat, int NbLig);
void frucmatrice(unsigned char **Mat, int NbLig);
void frusmatrice(unsigned short **Mat, int NbLig);
void frsmatrice(short **Mat, int NbLig);
void frimatrice(int **Mat, int NbLig);
void frdmatrice(double **Mat, int NbLig);
void frldmatrice(long double **Mat, int NbLig);

unsigned char *ucvecteur(int NbCol);
unsigned short *usvecteur(int NbCol);
short *svecteur(int NbCol);
int *ivecteur(int NbCol);
double *dvecteur(int NbCol);
float *fvecteur(int NbCol);

void frucvecteur(unsigned char *Mat);
void frusvecteur(unsigned short *Mat);
void frsvecteur(short *Mat);
void frivecteur(int *Mat);
void frdvecteur(double *Mat);
void frfvecteur(float *Mat);

#endif
