#import <Foundation/Foundation.h>

// The library's class in the platform's object runtime. Loading the library
// registers the extension already; +loadExtension registers a fresh one (with
// an empty API key) in its place, for hosts that load extensions by class.
@interface OVOpenAIExtension : NSObject
+ (void)loadExtension;
@end
