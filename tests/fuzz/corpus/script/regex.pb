
3"hello world	"match	"o\s?w72