// Grid and vector allocation: every block comes from calloc and goes back with free.
#include "NRUTIL.h"

#include <cstdlib>

namespace {

// Gives back lines 0 .. NbLig-1 of a grid, then its row-pointer array.
template <typename T> void release_grid(T **buff, int NbLig)
{
    if (buff == nullptr) return;
    for (int i = 0; i < NbLig; i++) std::free(buff[i]);
    std::free(buff);
}

// Allocates the row-pointer array, then each line in order, all zero-filled. On any
// failure, everything obtained so far is given back and null is returned.
template <typename T> T **make_grid(int NbCol, int NbLig)
{
    if (NbCol <= 0 || NbLig <= 0) return nullptr;
    T **buff = static_cast<T **>(std::calloc(static_cast<size_t>(NbLig), sizeof(T *)));
    if (buff == nullptr) return nullptr;
    for (int i = 0; i < NbLig; i++) {
        buff[i] = static_cast<T *>(std::calloc(static_cast<size_t>(NbCol), sizeof(T)));
        if (buff[i] == nullptr) {
            release_grid(buff, i);
            return nullptr;
        }
    }
    return buff;
}

template <typename T> T *make_vector(int NbCol)
{
    if (NbCol <= 0) return nullptr;
    return static_cast<T *>(std::calloc(static_cast<size_t>(NbCol), sizeof(T)));
}

} // namespace

float **fmatrice(int NbCol, int NbLig) { return make_grid<float>(NbCol, NbLig); }
unsigned char **ucmatrice(int NbCol, int NbLig) { return make_grid<unsigned char>(NbCol, NbLig); }
unsigned short **usmatrice(int NbCol, int NbLig) { return make_grid<unsigned short>(NbCol, NbLig); }
short **smatrice(int NbCol, int NbLig) { return make_grid<short>(NbCol, NbLig); }
int **imatrice(int NbCol, int NbLig) { return make_grid<int>(NbCol, NbLig); }
double **dmatrice(int NbCol, int NbLig) { return make_grid<double>(NbCol, NbLig); }
long double **ldmatrice(int NbCol, int NbLig) { return make_grid<long double>(NbCol, NbLig); }

void frfmatrice(float **Mat, int NbLig) { release_grid(Mat, NbLig); }
void frucmatrice(unsigned char **Mat, int NbLig) { release_grid(Mat, NbLig); }
void frusmatrice(unsigned short **Mat, int NbLig) { release_grid(Mat, NbLig); }
void frsmatrice(short **Mat, int NbLig) { release_grid(Mat, NbLig); }
void frimatrice(int **Mat, int NbLig) { release_grid(Mat, NbLig); }
void frdmatrice(double **Mat, int NbLig) { release_grid(Mat, NbLig); }
void frldmatrice(long double **Mat, int NbLig) { release_grid(Mat, NbLig); }

unsigned char *ucvecteur(int NbCol) { return make_vector<unsigned char>(NbCol); }
unsigned short *usvecteur(int NbCol) { return make_vector<unsigned short>(NbCol); }
short *svecteur(int NbCol) { return make_vector<short>(NbCol); }
int *ivecteur(int NbCol) { return make_vector<int>(NbCol); }
double *dvecteur(int NbCol) { return make_vector<double>(NbCol); }
float *fvecteur(int NbCol) { return make_vector<float>(NbCol); }

void frucvecteur(unsigned char *Mat) { std::free(Mat); }
void frusvecteur(unsigned short *Mat) { std::free(Mat); }
void frsvecteur(short *Mat) { std::free(Mat); }
void frivecteur(int *Mat) { std::free(Mat); }
void frdvecteur(double *Mat) { std::free(Mat); }
void frfvecteur(float *Mat) { std::free(Mat); }
